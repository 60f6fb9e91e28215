// XML parser: a recursive descent that finds the end of each element before parsing its
// content, and the tag parser that also builds every element a caller makes from a tag.
#include <string>
#include <string_view>

#include "libs/xml/xml_document.h"
#include "libs/xml/xml_text.h"

namespace nimbo {
namespace {

constexpr std::size_t npos = std::string_view::npos;

bool IsBlank(char ch) { return ch == '\t' || ch == '\n' || ch == '\r' || ch == ' '; }

// Position just after the '>' of the end tag that closes the element whose start tag
// begins the text, or npos. Depth is counted over plain tags; names are not compared.
std::size_t XmlFindElementEnd(std::string_view text) {
  int depth = 0;
  std::size_t lt = text.find('<');
  while (lt != npos) {
    std::size_t stop;
    if (lt + 1 < text.size() && text[lt + 1] == '/') {
      stop = text.find('>', lt);
      if (stop == npos) return npos;
      if (--depth == 0) return stop + 1;
    } else {
      const std::string_view at = text.substr(lt);
      bool special = at.starts_with("<!--") || at.starts_with("<?");
      bool cdata = at.starts_with("<![CDATA[");
      bool quoted = false;
      stop = npos;
      for (std::size_t i = lt; i < text.size(); ++i) {
        const char ch = text[i];
        if (cdata) {
          if (ch == '>' && i >= 2 && text[i - 1] == ']' && text[i - 2] == ']') {
            stop = i;
            break;
          }
          continue;
        }
        if (ch == '"') {
          quoted = !quoted;
        } else if (!quoted && ch == '/' && !special) {
          stop = i;
          break;
        } else if (!quoted && ch == '>' && (!special || (i >= 2 && text[i - 1] == '-' && text[i - 2] == '-'))) {
          stop = i;
          break;
        }
      }
      if (stop == npos) return npos;
      if (text[stop] == '>' && !special && !cdata) {
        ++depth;
      } else if (depth == 0) {
        return stop + 1;
      }
    }
    lt = text.find('<', stop + 1);
  }
  return npos;
}

// Stores a trimmed piece of text between tags as a content of the element.
void XmlAddTextContent(XmlElement* element, std::string_view text, int position) {
  if (element == nullptr) return;
  std::size_t begin = 0, end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  if (begin == end) return;
  element->contents.push_back(std::make_unique<XmlContent>(element, position, text.substr(begin, end - begin), 1));
}

// Markup text without `front` leading and `back` trailing characters; empty when nothing
// lies between.
std::string_view Inner(std::string_view markup, std::size_t front, std::size_t back) {
  if (markup.size() <= front + back) return {};
  return markup.substr(front, markup.size() - front - back);
}

int ChildCount(const XmlElement* element) { return element ? static_cast<int>(element->children.size()) : 0; }

}  // namespace

void XmlElement::ParseTag(std::string_view tagText, int keptWhole) {
  attributes.clear();
  DropBorrowed();
  children.clear();
  comments.clear();
  contents.clear();
  cdataSections.clear();
  if (keptWhole) {
    name.assign(tagText);
    return;
  }
  const auto nul = tagText.find('\0');
  if (nul != npos) tagText = tagText.substr(0, nul);
  std::size_t i = 0;
  std::string plainName;
  for (; i < tagText.size(); ++i) {
    const char ch = tagText[i];
    if (IsBlank(ch) || ch == '"' || ch == '/' || ch == '>') break;
    if (ch != '<') plainName.push_back(ch);
  }
  name = XmlEscape(plainName);
  for (;;) {
    while (i < tagText.size() && IsBlank(tagText[i])) ++i;
    if (i >= tagText.size() || tagText[i] == '>' || tagText[i] == '/') return;
    const std::size_t equals = tagText.find('=', i);
    if (equals == npos) return;
    const std::string_view attributeName = tagText.substr(i, equals - i);
    const std::size_t open = tagText.find('"', equals + 1);
    if (open == npos) return;
    const std::size_t close = tagText.find('"', open + 1);
    if (close == npos) return;
    auto attribute = std::make_unique<XmlAttribute>(attributeName, tagText.substr(open + 1, close - open - 1), 1);
    attribute->owner = this;
    attributes.push_back(std::move(attribute));
    i = close + 1;
  }
}

namespace {

struct ParseContext {
  XmlHeader* header;
  XmlDocument* document;
};

// One level of the descent; see XmlHeader::ParseElement.
std::unique_ptr<XmlElement> ParseLevel(ParseContext& context, XmlElement* parent, std::string_view text, int depth,
                                       bool& tooDeep) {
  std::unique_ptr<XmlElement> pending;  // made from a start tag, not yet taken by the parent
  XmlElement* last = nullptr;           // the last element made at this level
  bool tagMet = false;
  const auto result = [&]() -> std::unique_ptr<XmlElement> {
    return pending && pending.get() == last ? std::move(pending) : nullptr;
  };
  std::size_t pos = 0;
  for (;;) {
    const std::size_t lt = text.find('<', pos);
    if (lt == npos) break;
    XmlAddTextContent(parent, text.substr(pos, lt - pos), ChildCount(parent));
    const std::string_view at = text.substr(lt);
    std::size_t close;  // offset of the markup's closing '>' from lt
    if (at.starts_with("<![CDATA")) {
      close = at.find("]]>");
      if (close != npos) close += 2;
    } else if (at.starts_with("<!--")) {
      close = at.find("-->");
      if (close != npos) close += 2;
    } else {
      close = at.find('>');
    }
    if (close == npos) return result();
    const std::string_view markup = at.substr(0, close + 1);
    const std::size_t after = lt + close + 1;

    if (markup.starts_with("<!--") || markup.starts_with("<?")) {
      const std::string_view commentText = Inner(markup, 4, 3);
      if (parent)
        parent->comments.push_back(std::make_unique<XmlComment>(parent, ChildCount(parent), commentText));
      else if (context.header)
        context.header->AddComment(commentText, tagMet ? 1 : 0);
      pos = after;
      continue;
    }
    if (at.size() - 1 > 8 && markup.substr(1).starts_with("![CDATA[")) {
      // A CDATA section outside the root element has no place to go and is dropped.
      if (parent)
        parent->cdataSections.push_back(std::make_unique<XmlCData>(parent, ChildCount(parent), Inner(markup, 9, 3)));
      pos = after;
      continue;
    }
    if (markup.size() > 1 && markup[1] == '/') {
      if (parent && pending && pending.get() == last) parent->AppendChild(std::move(pending));
      pos = after;
      continue;
    }
    tagMet = true;
    if (markup.size() < 2 || markup[markup.size() - 2] != '/') {
      // A start tag: find the end of the whole element first.
      const std::size_t end = XmlFindElementEnd(at);
      if (end == npos) {
        context.document->loadState = 2;
        return result();
      }
      std::size_t endTag = end;
      do { --endTag; } while (at[endTag] != '<');
      auto element = std::make_unique<XmlElement>(parent, markup);
      if (endTag <= close) {
        // The end scan stopped inside the start tag: this level ends with the new element.
        pending = std::move(element);
        last = pending.get();
        return result();
      }
      if (depth + 1 > XmlDocument::kMaxDepth) {
        tooDeep = true;
        context.document->loadState = 2;
        return nullptr;
      }
      ParseLevel(context, element.get(), at.substr(close + 1, endTag - close - 1), depth + 1, tooDeep);
      if (tooDeep) return nullptr;
      pending = std::move(element);  // an element of this level not taken by the parent is dropped
      last = pending.get();
      pos = lt + endTag;
      continue;
    }
    // An empty-element tag.
    auto element = std::make_unique<XmlElement>(parent, markup.substr(1, markup.size() - 2));
    if (parent) {
      XmlElement* appended = parent->AppendChild(std::move(element));
      if (last == nullptr) last = appended;
    } else if (last == nullptr) {
      pending = std::move(element);
      last = pending.get();
    }
    pos = after;
  }
  XmlAddTextContent(parent, text.substr(pos), ChildCount(parent));
  return result();
}

}  // namespace

std::unique_ptr<XmlElement> XmlHeader::ParseElement(XmlElement* parent, std::string_view text, XmlDocument* document) {
  XmlDocument scratch;
  ParseContext context{this, document ? document : &scratch};
  bool tooDeep = false;
  auto element = ParseLevel(context, parent, text, parent ? 1 : 0, tooDeep);
  if (tooDeep) {
    context.document->tooDeep_ = true;
    return nullptr;
  }
  return element;
}

}  // namespace nimbo
