// Tree editing, copies, comparison, paths, queries and swap files.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "libs/platform/str_format.h"
#include "libs/xml/xml_document.h"
#include "libs/xml/xml_text.h"

namespace nimbo {
namespace {

std::mutex g_settingsLock;
XmlClipboard g_clipboard;
std::string g_swapFolder;

template <typename T>
bool ValidIndex(const std::vector<T>& v, int index) {
  return index >= 0 && static_cast<std::size_t>(index) < v.size();
}

bool NameLess(const std::string& a, const std::string& b) {
  const std::string x = XmlUnescape(a), y = XmlUnescape(b);
  return std::lexicographical_compare(x.begin(), x.end(), y.begin(), y.end(), [](char p, char q) {
    return std::tolower(static_cast<unsigned char>(p)) < std::tolower(static_cast<unsigned char>(q));
  });
}

// Decimal integer as the query reads it: 0 when it holds no number.
long long QueryNumber(std::string_view text, bool* valid) {
  std::string t(text);
  char* end = nullptr;
  long long v = std::strtoll(t.c_str(), &end, 10);
  *valid = !(v == 0 && (t.empty() || t[0] != '0'));
  return v;
}

}  // namespace

void SetXmlClipboard(const XmlClipboard& clipboard) {
  std::lock_guard<std::mutex> lock(g_settingsLock);
  g_clipboard = clipboard;
}

void SetXmlSwapFolder(const std::string& folder) {
  std::lock_guard<std::mutex> lock(g_settingsLock);
  g_swapFolder = folder;
  if (!g_swapFolder.empty() && g_swapFolder.back() != '/') g_swapFolder += '/';
}

void XmlGetVersion(XmlVersion* out) {
  if (out) *out = XmlVersion{};
}

// ---------------------------------------------------------------------------------------
// Element editing

void XmlElement::DropBorrowed() {
  for (XmlElement* b : borrowed) {
    for (auto it = children.begin(); it != children.end(); ++it) {
      if (it->get() == b) {
        (void)it->release();
        children.erase(it);
        break;
      }
    }
  }
  borrowed.clear();
}

XmlElement* XmlElement::ElementAt(int index) { return ValidIndex(children, index) ? children[index].get() : nullptr; }

XmlElement* XmlElement::AddChildElement(std::string_view tagText) {
  return AppendChild(std::make_unique<XmlElement>(this, tagText));
}

int XmlElement::InsertChild(int index, std::unique_ptr<XmlElement> element) {
  if (!element) return static_cast<int>(children.size());
  element->parent = this;
  if (index < 0 || static_cast<std::size_t>(index) >= children.size())
    children.push_back(std::move(element));
  else
    children.insert(children.begin() + index, std::move(element));
  return static_cast<int>(children.size());
}

int XmlElement::InsertBorrowedChild(XmlElement* element, int index) {
  if (!element) return -1;
  borrowed.push_back(element);
  if (index < 0 || static_cast<std::size_t>(index) >= children.size()) {
    children.emplace_back(element);
    return static_cast<int>(children.size());
  }
  children.emplace(children.begin() + index, element);
  return index;
}

int XmlElement::ReleaseBorrowedChildren() {
  const int n = static_cast<int>(borrowed.size());
  DropBorrowed();
  return n;
}

int XmlElement::RemoveChildAt(int index) {
  if (!ValidIndex(children, index)) return static_cast<int>(children.size());
  if (!children[index]) SwapInChild(index);
  XmlElement* child = children[index].get();
  auto b = std::find(borrowed.begin(), borrowed.end(), child);
  if (child && b != borrowed.end()) {
    borrowed.erase(b);
    (void)children[index].release();
  }
  children.erase(children.begin() + index);
  if (findCursor != UINT32_MAX && findCursor > static_cast<std::uint32_t>(index)) --findCursor;
  return static_cast<int>(children.size());
}

int XmlElement::RemoveChild(XmlElement* element) {
  const int k = IndexOfChild(element);
  return k < 0 ? -1 : RemoveChildAt(k);
}

std::unique_ptr<XmlElement> XmlElement::DetachChild(int index) {
  if (!ValidIndex(children, index)) return nullptr;
  if (!children[index]) SwapInChild(index);
  XmlElement* child = children[index].get();
  if (child && std::find(borrowed.begin(), borrowed.end(), child) != borrowed.end()) return nullptr;
  std::unique_ptr<XmlElement> out = std::move(children[index]);
  children.erase(children.begin() + index);
  if (out) out->parent = nullptr;
  return out;
}

bool XmlElement::ReplaceChild(int index, std::unique_ptr<XmlElement> element, std::unique_ptr<XmlElement>* old) {
  if (!ValidIndex(children, index) || !element) return false;
  std::unique_ptr<XmlElement> previous = DetachChild(index);
  if (!previous && ValidIndex(children, index) && children[index].get() &&
      std::find(borrowed.begin(), borrowed.end(), children[index].get()) != borrowed.end())
    RemoveChildAt(index);  // a borrowed child is only taken out
  if (old) *old = std::move(previous);
  InsertChild(index, std::move(element));
  return true;
}

int XmlElement::MoveChild(int from, int to) {
  if (!ValidIndex(children, from)) return static_cast<int>(children.size());
  std::unique_ptr<XmlElement> child = std::move(children[from]);
  children.erase(children.begin() + from);
  if (to < 0 || static_cast<std::size_t>(to) >= children.size())
    children.push_back(std::move(child));
  else
    children.insert(children.begin() + to, std::move(child));
  return static_cast<int>(children.size());
}

void XmlElement::Merge(const XmlElement& other, bool overwrite) {
  for (const auto& a : other.attributes) {
    if (!a) continue;
    XmlAttribute* mine = nullptr;
    for (const auto& m : attributes)
      if (m && m->name == a->name) mine = m.get();
    if (!mine) {
      auto copy = std::make_unique<XmlAttribute>(a->name, a->value, 1, 0);
      copy->owner = this;
      attributes.push_back(std::move(copy));
    } else if (overwrite) {
      mine->value = a->value;
    }
  }
  for (const auto& c : other.children) {
    if (!c) continue;
    XmlElement* same = nullptr;
    for (const auto& m : children)
      if (m && m->name == c->name) {
        same = m.get();
        break;
      }
    if (same)
      same->Merge(*c, overwrite);
    else
      AppendChild(c->Duplicate(this));
  }
}

int XmlElement::RemoveTemporaryChildren(bool deep) {
  int removed = 0;
  for (int k = static_cast<int>(children.size()) - 1; k >= 0; --k)
    if (children[k] && children[k]->temporary) {
      RemoveChildAt(k);
      ++removed;
    }
  if (deep)
    for (const auto& c : children)
      if (c) removed += c->RemoveTemporaryChildren(false);
  return removed;
}

int XmlElement::RemoveTemporaryAttributes(bool deep) {
  int removed = 0;
  for (int k = static_cast<int>(attributes.size()) - 1; k >= 0; --k)
    if (attributes[k] && attributes[k]->temporary) {
      attributes.erase(attributes.begin() + k);
      ++removed;
    }
  if (deep)
    for (const auto& c : children)
      if (c) removed += c->RemoveTemporaryAttributes(false);
  return removed;
}

int XmlElement::AddAttribute(std::string_view attrName, std::string_view value) {
  auto a = std::make_unique<XmlAttribute>(attrName, value);
  a->owner = this;
  attributes.push_back(std::move(a));
  return static_cast<int>(attributes.size());
}

int XmlElement::AddComment(std::string_view text, int position) {
  comments.push_back(std::make_unique<XmlComment>(this, position, text));
  return static_cast<int>(comments.size());
}

int XmlElement::AddCData(std::string_view text, int position) {
  cdataSections.push_back(std::make_unique<XmlCData>(this, position, text));
  return static_cast<int>(cdataSections.size());
}

namespace {
template <typename T>
int EraseAt(std::vector<std::unique_ptr<T>>& v, int index) {
  if (ValidIndex(v, index)) v.erase(v.begin() + index);
  return static_cast<int>(v.size());
}
}  // namespace

int XmlElement::RemoveAttributeAt(int index) { return EraseAt(attributes, index); }
int XmlElement::RemoveAttribute(const XmlAttribute* attribute) {
  const int k = IndexOfAttribute(attribute);
  return k < 0 ? -1 : RemoveAttributeAt(k);
}
std::unique_ptr<XmlAttribute> XmlElement::DetachAttribute(int index) {
  if (!ValidIndex(attributes, index)) return nullptr;
  auto out = std::move(attributes[index]);
  attributes.erase(attributes.begin() + index);
  if (out) out->owner = nullptr;
  return out;
}
int XmlElement::RemoveCommentAt(int index) { return EraseAt(comments, index); }
int XmlElement::RemoveCDataAt(int index) { return EraseAt(cdataSections, index); }
int XmlElement::RemoveContentAt(int index) { return EraseAt(contents, index); }

void XmlElement::SetName(std::string_view text) { name = XmlEscape(text); }

std::unique_ptr<XmlElement> XmlElement::Duplicate(XmlElement* newParent) {
  SwapInAllChildren();
  auto copy = std::make_unique<XmlElement>(newParent, name, 1);
  copy->tagKeptWhole = tagKeptWhole;
  for (const auto& a : attributes)
    if (a) {
      auto c = std::make_unique<XmlAttribute>(a->name, a->value, 1, a->temporary);
      c->owner = copy.get();
      copy->attributes.push_back(std::move(c));
    }
  for (const auto& c : comments)
    if (c) copy->comments.push_back(std::make_unique<XmlComment>(copy.get(), c->position, c->text));
  for (const auto& c : cdataSections)
    if (c) copy->cdataSections.push_back(std::make_unique<XmlCData>(copy.get(), c->position, c->text));
  for (const auto& c : contents) {
    if (!c) continue;
    auto n = std::make_unique<XmlContent>(copy.get(), c->position);
    n->binary = c->binary;
    n->binaryValue = c->binaryValue;
    n->text = c->text;
    copy->contents.push_back(std::move(n));
  }
  for (const auto& child : children)
    if (child) copy->AppendChild(child->Duplicate(copy.get()));
  return copy;
}

void XmlElement::SortChildren(bool (*less)(const XmlElement&, const XmlElement&)) {
  std::stable_sort(children.begin(), children.end(), [less](const auto& a, const auto& b) {
    if (!a || !b) return static_cast<bool>(a) && !b;
    return less ? less(*a, *b) : NameLess(a->name, b->name);
  });
}

void XmlElement::SortAttributes(bool (*less)(const XmlAttribute&, const XmlAttribute&)) {
  std::stable_sort(attributes.begin(), attributes.end(), [less](const auto& a, const auto& b) {
    if (!a || !b) return static_cast<bool>(a) && !b;
    return less ? less(*a, *b) : NameLess(a->name, b->name);
  });
}

// Both count and list the same levels: children at depth 0, their children at 1, ...
int XmlElement::CountDescendants(int depth) const {
  int n = 0;
  for (const auto& c : children)
    if (c) n += 1 + (depth == 0 ? 0 : c->CountDescendants(depth < 0 ? -1 : depth - 1));
  return n;
}

int XmlElement::CollectDescendants(std::vector<XmlElement*>* out, int depth) {
  int n = 0;
  for (const auto& c : children) {
    if (!c) continue;
    if (depth != 0) n += c->CollectDescendants(out, depth < 0 ? -1 : depth - 1);
    if (out) out->push_back(c.get());
    ++n;
  }
  return n;
}

void XmlElement::Compact() {
  children.shrink_to_fit();
  attributes.shrink_to_fit();
  comments.shrink_to_fit();
  contents.shrink_to_fit();
  cdataSections.shrink_to_fit();
  for (const auto& c : children)
    if (c) c->Compact();
}

bool XmlElement::Validate() const {
  for (const auto& a : attributes)
    if (!a || a->owner != this) return false;
  for (const auto& c : comments)
    if (!c || c->owner != this) return false;
  for (const auto& c : contents)
    if (!c || c->owner != this) return false;
  for (const auto& c : cdataSections)
    if (!c || c->owner != this) return false;
  for (const auto& c : children) {
    if (!c) continue;  // swapped out
    bool isBorrowed = std::find(borrowed.begin(), borrowed.end(), c.get()) != borrowed.end();
    if (!isBorrowed && c->parent != this) return false;
    if (!c->Validate()) return false;
  }
  return true;
}

int XmlElement::Compare(const XmlElement& other) const {
  if (name != other.name || attributes.size() != other.attributes.size() || comments.size() != other.comments.size() ||
      cdataSections.size() != other.cdataSections.size() || contents.size() != other.contents.size() ||
      children.size() != other.children.size())
    return 1;
  for (std::size_t k = 0; k < attributes.size(); ++k) {
    const auto &a = attributes[k], &b = other.attributes[k];
    if (!a || !b || a->name != b->name || a->value != b->value) return 1;
  }
  for (std::size_t k = 0; k < comments.size(); ++k)
    if (!comments[k] || !other.comments[k] || comments[k]->text != other.comments[k]->text) return 1;
  for (std::size_t k = 0; k < cdataSections.size(); ++k)
    if (!cdataSections[k] || !other.cdataSections[k] || cdataSections[k]->text != other.cdataSections[k]->text)
      return 1;
  for (std::size_t k = 0; k < contents.size(); ++k) {
    const auto &a = contents[k], &b = other.contents[k];
    if (!a || !b || a->binary != b->binary) return 1;
    if (a->binary ? !(a->binaryValue == b->binaryValue) : a->text != b->text) return 1;
  }
  for (std::size_t k = 0; k < children.size(); ++k) {
    const auto &a = children[k], &b = other.children[k];
    if (!a || !b) {
      if (a || b) return 1;
      continue;
    }
    if (a->Compare(*b)) return 1;
  }
  return 0;
}

std::string XmlElement::GetPath(bool asStored) const {
  std::vector<const XmlElement*> chain;
  for (const XmlElement* e = this; e && e->parent; e = e->parent) chain.push_back(e);
  std::string path;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (!path.empty()) path += '\\';
    path += asStored ? (*it)->name : XmlUnescape((*it)->name);
  }
  if (path.size() > 5000) path.resize(5000);
  return path;
}

XmlElement* XmlElement::FindByPath(std::string_view path) {
  XmlElement* e = this;
  while (!path.empty() && e) {
    const std::size_t cut = path.find('\\');
    const std::string_view part = path.substr(0, cut);
    e = e->FindElement(part);
    path = cut == std::string_view::npos ? std::string_view() : path.substr(cut + 1);
  }
  return e;
}

bool XmlWildcardMatch(std::string_view text, std::string_view pattern) {
  // Iterative matching with one back-track point for the last '*'.
  std::size_t t = 0, p = 0, starP = std::string_view::npos, starT = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starT = t;
    } else if (p < pattern.size() && (pattern[p] == '?' || std::tolower(static_cast<unsigned char>(pattern[p])) ==
                                                               std::tolower(static_cast<unsigned char>(text[t])))) {
      ++p;
      ++t;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      t = ++starT;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool XmlQueryCondition(std::string_view value, std::string_view op, std::string_view operand) {
  if (operand.size() >= 2 && operand.front() == '"' && operand.back() == '"') {
    const std::string_view pattern = operand.substr(1, operand.size() - 2);
    if (op == "==") return pattern == "*" || XmlWildcardMatch(value, pattern);
    if (op == "!=") return pattern != "*" && !XmlWildcardMatch(value, pattern);
    return true;
  }
  bool okValue = false, okOperand = false;
  const long long a = QueryNumber(value, &okValue), b = QueryNumber(operand, &okOperand);
  if (!okValue || !okOperand) return false;
  if (op == "==") return a == b;
  if (op == "!=") return a != b;
  if (op == ">=") return a >= b;
  if (op == "<=") return a <= b;
  if (op == ">") return a > b;
  if (op == "<") return a < b;
  return true;
}

int XmlElement::Query(std::string_view query, std::vector<XmlElement*>* out, int depth) {
  std::vector<XmlElement*> candidates;
  CollectDescendants(&candidates, depth);
  struct Condition {
    std::string key, op, operand;
  };
  std::vector<Condition> conditions;
  std::size_t i = 0;
  while (i < query.size()) {
    Condition c;
    std::size_t sp = query.find(' ', i);
    if (sp == std::string_view::npos) break;
    c.key = query.substr(i, sp - i);
    i = sp + 1;
    sp = query.find(' ', i);
    if (sp == std::string_view::npos) break;
    c.op = query.substr(i, sp - i);
    i = sp + 1;
    std::size_t end;
    if (i < query.size() && query[i] == '"') {
      const std::size_t close = query.find('"', i + 1);
      end = close == std::string_view::npos ? query.size() : close + 1;
    } else {
      end = query.find(' ', i);
      if (end == std::string_view::npos) end = query.size();
    }
    c.operand = query.substr(i, end - i);
    conditions.push_back(c);
    // The next condition is read only when a space follows the operand.
    if (end >= query.size() || query[end] != ' ') break;
    i = end + 1;
  }
  int matches = 0;
  for (XmlElement* e : candidates) {
    bool ok = true;
    for (const Condition& c : conditions) {
      std::string value;
      if (c.key == "?") {
        value = XmlUnescape(e->name);
      } else if (c.key == "!") {
        value = e->GetPath();
      } else if (!c.key.empty() && c.key[0] == '~') {
        const long n = std::strtol(c.key.c_str() + 1, nullptr, 10);
        if (n >= 0 && static_cast<std::size_t>(n) < e->contents.size() && e->contents[n])
          e->contents[n]->GetValue(&value);
      } else if (XmlAttribute* a = e->FindAttribute(c.key)) {
        a->GetValue(&value);
      }
      if (!XmlQueryCondition(value, c.op, c.operand)) {
        ok = false;
        break;
      }
    }
    if (!ok) continue;
    if (out) out->push_back(e);
    ++matches;
  }
  return matches;
}

int XmlElement::GetDepth() const {
  int d = 0;
  for (const XmlElement* e = parent; e; e = e->parent) ++d;
  return d;
}

int XmlElement::IndexOfChild(const XmlElement* child) const {
  for (std::size_t k = 0; k < children.size(); ++k)
    if (child && children[k].get() == child) return static_cast<int>(k);
  return -1;
}

int XmlElement::IndexOfAttribute(const XmlAttribute* attribute) const {
  for (std::size_t k = 0; k < attributes.size(); ++k)
    if (attribute && attributes[k].get() == attribute) return static_cast<int>(k);
  return -1;
}

bool XmlElement::CopyToClipboard() {
  XmlClipboard clip;
  {
    std::lock_guard<std::mutex> lock(g_settingsLock);
    clip = g_clipboard;
  }
  if (!clip.setText) return false;
  std::string text;
  XmlTarget target;
  target.buffer = &text;
  Export(target, 1, 1, kXmlSaveText, nullptr);
  return clip.setText(text);
}

// ---------------------------------------------------------------------------------------
// Attribute values as numbers

unsigned XmlAttribute::GetValueUInt() const {
  return static_cast<unsigned>(std::strtoul(XmlUnescape(value).c_str(), nullptr, 10));
}
std::int64_t XmlAttribute::GetValueInt64() const { return std::strtoll(XmlUnescape(value).c_str(), nullptr, 10); }
std::uint64_t XmlAttribute::GetValueUInt64() const { return std::strtoull(XmlUnescape(value).c_str(), nullptr, 10); }
double XmlAttribute::GetValueFloat() const { return std::atof(XmlUnescape(value).c_str()); }

void XmlAttribute::SetValueUInt(unsigned v) { SetValueFormat("%u", v); }
void XmlAttribute::SetValueInt(int v) { SetValueFormat("%i", v); }
void XmlAttribute::SetValueInt64(std::int64_t v) { SetValueFormat("%" PRId64, v); }
void XmlAttribute::SetValueUInt64(std::uint64_t v) { SetValueFormat("%" PRIu64, v); }
void XmlAttribute::SetValueFloat(double v) { SetValueFormat("%f", v); }

void XmlAttribute::SetValueFormat(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = StrFormatV(format, args);
  va_end(args);
  SetValue(text);
}

// ---------------------------------------------------------------------------------------
// Swap files

std::string XmlElement::SwapFileName(int index) const {
  // The prefix: the index of each element on the path below the root, each followed by '-'.
  std::vector<int> indices;
  for (const XmlElement* e = this; e && e->parent; e = e->parent) indices.push_back(e->parent->IndexOfChild(e));
  std::string name;
  {
    std::lock_guard<std::mutex> lock(g_settingsLock);
    if (g_swapFolder.empty()) {
      // A private folder of this process, never the current directory.
      const char* tmp = std::getenv("TEMP");
      if (!tmp || !*tmp) tmp = std::getenv("TMP");
      if (!tmp || !*tmp) tmp = "/tmp";
      std::string tmpl = std::string(tmp) + "/nimbo-xml-XXXXXX";
      if (::mkdtemp(tmpl.data())) g_swapFolder = tmpl + "/";
    }
    name = g_swapFolder;
  }
  for (auto it = indices.rbegin(); it != indices.rend(); ++it) name += std::to_string(*it) + "-";
  name += std::to_string(index) + ".xmltmp";
  return name;
}

bool XmlElement::SwapOutChild(int index) {
  if (!ValidIndex(children, index) || !children[index]) return false;
  if (std::find(borrowed.begin(), borrowed.end(), children[index].get()) != borrowed.end()) return false;
  children[index]->SwapInAllChildren();
  const std::string file = SwapFileName(index);
  struct stat st;
  if (::lstat(file.c_str(), &st) == 0) return false;
  std::FILE* f = std::fopen(file.c_str(), "wbxe");  // never over an existing file
  if (!f) return false;
  XmlTarget target;
  target.file = f;
  children[index]->Export(target, 1, 1, kXmlSaveUtf8File, nullptr);
  const bool ok = std::ferror(f) == 0;
  if (std::fclose(f) != 0 || !ok) {
    ::unlink(file.c_str());
    return false;
  }
  children[index].reset();
  return true;
}

bool XmlElement::SwapInChild(int index) {
  if (!ValidIndex(children, index)) return false;
  if (children[index]) return true;
  const std::string file = SwapFileName(index);
  XmlDocument doc;
  struct stat st;
  if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  doc.Load(file, kXmlSourceFile);
  if (doc.loadState == 2 || !doc.root) return false;
  std::unique_ptr<XmlElement> child = doc.DetachRootElement();
  child->parent = this;
  children[index] = std::move(child);
  ::unlink(file.c_str());
  return true;
}

bool XmlElement::SwapInAllChildren() {
  bool ok = true;
  for (std::size_t k = 0; k < children.size(); ++k)
    if (!children[k]) ok = SwapInChild(static_cast<int>(k)) && ok;
  return ok;
}

bool XmlElement::DeleteSwapFile(int index) { return ::unlink(SwapFileName(index).c_str()) == 0; }

// ---------------------------------------------------------------------------------------
// Document

std::unique_ptr<XmlDocument> XmlDocument::Duplicate() const {
  auto copy = std::make_unique<XmlDocument>();
  copy->header.reset();
  if (header) {
    copy->header = std::make_unique<XmlHeader>(header->text);
    std::memcpy(copy->header->formatBytes, header->formatBytes, sizeof header->formatBytes);
    copy->header->noBreakDeclaration = header->noBreakDeclaration;
    copy->header->noBreakComments = header->noBreakComments;
    for (const auto& c : header->comments)
      if (c) copy->header->AddComment(c->text, c->position);
  }
  copy->root = root ? root->Duplicate(nullptr) : nullptr;
  copy->loadState = 0;
  copy->saveOnDestroy = false;
  return copy;
}

int XmlDocument::Compare(const XmlDocument& other) const {
  if (static_cast<bool>(header) != static_cast<bool>(other.header)) return 1;
  if (header) {
    if (header->text != other.header->text || header->comments.size() != other.header->comments.size()) return 1;
    for (std::size_t k = 0; k < header->comments.size(); ++k)
      if (header->comments[k]->text != other.header->comments[k]->text) return 1;
  }
  if (static_cast<bool>(root) != static_cast<bool>(other.root)) return 1;
  return root ? root->Compare(*other.root) : 0;
}

void XmlDocument::Compact() {
  if (root) root->Compact();
  if (header) header->comments.shrink_to_fit();
}

bool XmlDocument::Validate() const { return !root || root->Validate(); }

std::size_t XmlDocument::EstimateSize() const {
  std::size_t size = root ? root->EstimateSize() : 0;
  if (header) {
    size += 40 + 4 * std::max<std::size_t>(header->comments.capacity(), 1) + header->text.size();
    for (const auto& c : header->comments)
      if (c) size += c->text.size() + 24;
  }
  return size;
}

int XmlDocument::RemoveTemporary() {
  if (!root) return 0;
  return root->RemoveTemporaryChildren(true) + root->RemoveTemporaryAttributes(true);
}

int XmlDocument::QueryByPath(std::string_view path, std::string_view query, std::vector<XmlElement*>* out, int depth) {
  XmlElement* e = root ? root->FindByPath(path) : nullptr;
  return e ? e->Query(query, out, depth) : 0;
}

void XmlDocument::ExportTree(const XmlTarget& target, int escaped, int kind, const XmlHeader* useHeader,
                             XmlTransform* transform) {
  if (root) root->Export(target, 1, escaped, kind, useHeader, transform);
}

std::unique_ptr<XmlElement> XmlParseToElement(const char* text) {
  std::string source;
  if (text) {
    source = text;
  } else {
    XmlClipboard clip;
    {
      std::lock_guard<std::mutex> lock(g_settingsLock);
      clip = g_clipboard;
    }
    if (!clip.getText || !clip.getText(&source)) return nullptr;
  }
  XmlDocument doc;
  doc.LoadText(source);
  if (doc.loadState == 2 || !doc.root) return nullptr;
  return doc.root->Duplicate(nullptr);
}

}  // namespace nimbo
