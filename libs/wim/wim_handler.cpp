#include "libs/wim/wim_handler.h"

#include <sys/stat.h>

#include <algorithm>
#include <numeric>

namespace NArchive::NWim {

Status CHandler::Close() {
  fd_ = -1;
  fileSize_ = 0;
  forUpdate_ = false;
  header_ = WimHeader();
  db_ = WimDatabase();
  decoder_.reset();
  items_.clear();
  digits_ = 0;
  return arc::S_OK;
}

Status CHandler::Open(int fd, bool forUpdate) {
  Close();
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return arc::E_FAIL;
  Status s = WimReadHeader(fd, header_);
  if (s != arc::S_OK) return s;
  fd_ = fd;
  fileSize_ = uint64_t(st.st_size);
  forUpdate_ = forUpdate;
  decoder_ = std::make_unique<WimDecoder>(header_);
  s = WimReadDatabase(fd, fileSize_, header_, *decoder_, forUpdate, db_);
  if (s != arc::S_OK) {
    Close();
    return s;
  }
  BuildItems();
  return arc::S_OK;
}

void CHandler::BuildItems() {
  // Records ordered by hash resolve the entries' data; ordered by offset they give the
  // listing order.
  const auto& recs = db_.records;
  std::vector<uint32_t> byHash(recs.size()), rank(recs.size());
  std::iota(byHash.begin(), byHash.end(), 0);
  std::sort(byHash.begin(), byHash.end(), [&](uint32_t a, uint32_t b) { return recs[a].hash < recs[b].hash; });
  std::vector<uint32_t> byOffset(byHash);
  std::sort(byOffset.begin(), byOffset.end(),
            [&](uint32_t a, uint32_t b) { return recs[a].resource.offset < recs[b].resource.offset; });
  for (uint32_t i = 0; i < byOffset.size(); ++i) rank[byOffset[i]] = i;
  std::vector<bool> used(recs.size(), false);
  for (CDirEntry& e : db_.entries) {
    e.record = -1;
    if (!e.HasData()) continue;
    auto it = std::lower_bound(byHash.begin(), byHash.end(), e.hash,
                               [&](uint32_t r, const Sha1& h) { return recs[r].hash < h; });
    if (it != byHash.end() && recs[*it].hash == e.hash) {
      e.record = int32_t(*it);
      used[*it] = true;
    }
  }
  std::vector<uint32_t> order;
  for (uint32_t i = db_.skipRoot ? 1 : 0; i < db_.entries.size(); ++i) order.push_back(i);
  auto key = [&](uint32_t i) {
    const CDirEntry& e = db_.entries[i];
    return std::make_tuple(e.IsDir(), e.record < 0 ? -1 : int64_t(rank[size_t(e.record)]), e.order);
  };
  std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return key(a) < key(b); });
  db_.itemOrder = order;
  for (uint32_t i : order) items_.push_back({ItemRef::kEntry, i});
  for (uint32_t i : byOffset)
    if (!used[i] && !recs[i].resource.IsMetadata()) items_.push_back({ItemRef::kRecord, i});
  digits_ = uint32_t(std::to_string(recs.size()).size());
  items_.push_back({ItemRef::kXml, 1});
}

std::u16string CHandler::EntryPath(uint32_t index) const {
  std::vector<const std::u16string*> names;
  size_t total = 0;
  int32_t i = int32_t(index);
  int32_t marker = -1;
  for (size_t guard = 0; guard <= db_.entries.size(); ++guard) {
    const CDirEntry& e = db_.entries[size_t(i)];
    if (e.parent < 0) {
      marker = e.parent;
      if (!db_.skipRoot && !e.longName.empty()) names.push_back(&e.longName);
      break;
    }
    names.push_back(&e.longName);
    total += e.longName.size() + 1;
    i = e.parent;
  }
  std::u16string path;
  if (db_.showImageNumber) {
    for (char c : std::to_string(-1 - marker)) path += char16_t(c);
    path += u'\\';
  }
  if (total > 65535) return path + u"[LongPath]";
  for (size_t k = names.size(); k-- > 0;) {
    path += *names[k];
    if (k > 0) path += u'\\';
  }
  return path;
}

const CLookupTableRecord* CHandler::RecordOf(const ItemRef& item) const {
  if (item.kind == ItemRef::kRecord) return &db_.records[item.index];
  if (item.kind == ItemRef::kEntry && db_.entries[item.index].record >= 0)
    return &db_.records[size_t(db_.entries[item.index].record)];
  return nullptr;
}

Status CHandler::GetItem(uint32_t index, WimItemInfo& info) const {
  if (index >= items_.size()) return arc::E_INVALIDARG;
  info = WimItemInfo();
  const ItemRef& item = items_[index];
  if (item.kind == ItemRef::kXml) {
    info.path = u"[1].xml";
    info.size = info.packedSize = db_.xml.size();
    return arc::S_OK;
  }
  if (const CLookupTableRecord* r = RecordOf(item)) {
    info.size = r->resource.originalSize;
    info.packedSize = r->resource.packedSize;
    info.refCount = r->refCount;
  }
  if (item.kind == ItemRef::kRecord) {
    std::string number = std::to_string(item.index);
    if (number.size() < digits_) number.insert(0, digits_ - number.size(), '0');
    info.path = u"[Files]\\";
    for (char c : number) info.path += char16_t(c);
    return arc::S_OK;
  }
  const CDirEntry& e = db_.entries[item.index];
  info.path = EntryPath(item.index);
  info.isDir = e.IsDir();
  info.attributes = e.attributes;
  info.attributesDefined = true;
  info.creationTime = e.creationTime;
  info.lastAccessTime = e.lastAccessTime;
  info.lastWriteTime = e.lastWriteTime;
  info.shortName = e.shortName;
  return arc::S_OK;
}

namespace {

class SinkAdapter final : public WimByteSink {
 public:
  explicit SinkAdapter(arc::IExtractSink& sink) : sink_(sink) {}
  Status Write(const uint8_t* data, size_t size) override {
    Status s = sink_.Write(data, size);
    if (s != arc::S_OK) failed = true;
    return s;
  }
  bool failed = false;

 private:
  arc::IExtractSink& sink_;
};

class NullSink final : public WimByteSink {
 public:
  Status Write(const uint8_t*, size_t) override { return arc::S_OK; }
};

arc::ItemInfo DescribeForOutput(const WimItemInfo& w) {
  arc::ItemInfo info;
  info.path = WimUtf16ToUtf8(w.path);
  info.isDir = w.isDir;
  if (w.lastWriteTime) {
    int64_t t = int64_t(w.lastWriteTime) - int64_t(kFileTimeUnixEpoch);
    int64_t sec = t / 10000000, rem = t % 10000000;
    if (rem < 0) {
      rem += 10000000;
      --sec;
    }
    info.timeDefined = true;
    info.mtimeSec = sec;
    info.mtimeNsec = int32_t(rem * 100);
  }
  if (w.attributesDefined) {
    info.attribDefined = true;
    info.mode = (w.attributes & kAttrReadOnly) ? 0444 : 0644;
  }
  return info;
}

}  // namespace

Status CHandler::Extract(const uint32_t* indices, uint32_t count, bool testMode, arc::IExtractSink& sink) {
  if (fd_ < 0) return arc::E_FAIL;
  if (!indices) count = GetNumberOfItems();
  for (uint32_t k = 0; k < count; ++k) {
    uint32_t index = indices ? indices[k] : k;
    WimItemInfo w;
    Status s = GetItem(index, w);
    if (s != arc::S_OK) return s;
    const ItemRef& item = items_[index];
    if (!testMode) {
      s = sink.GetStream(DescribeForOutput(w));
      if (s != arc::S_OK) return s;
    }
    arc::OperationResult result = arc::kOK;
    if (item.kind == ItemRef::kXml) {
      if (!testMode && !db_.xml.empty()) {
        s = sink.Write(db_.xml.data(), db_.xml.size());
        if (s != arc::S_OK) return s;
      }
    } else if (const CLookupTableRecord* r = RecordOf(item)) {
      SinkAdapter toSink(sink);
      NullSink toNothing;
      Sha1 digest;
      s = decoder_->Unpack(fd_, fileSize_, r->resource, testMode ? static_cast<WimByteSink&>(toNothing) : toSink,
                           &digest);
      if (toSink.failed) return s;
      if (s == kBadWim)
        result = arc::kDataError;
      else if (s != arc::S_OK)
        return s;
      else if (digest != r->hash)
        result = arc::kCRCError;
    } else if (item.kind == ItemRef::kEntry && db_.entries[item.index].HasData()) {
      result = arc::kDataError;  // the content has no stored resource
    }
    s = sink.SetOperationResult(result);
    if (s != arc::S_OK) return s;
  }
  return arc::S_OK;
}

}  // namespace NArchive::NWim
