// XML writer: turns the tree back into text, laid out by each element's export format.
#include <string>
#include <string_view>

#include "libs/xml/xml_document.h"
#include "libs/xml/xml_text.h"

namespace nimbo {
namespace {

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";

// Emits pieces of 8-bit text in the form the output kind asks for.
class Output {
 public:
  Output(const XmlTarget& target, int kind) : target_(target), kind_(kind) {}

  void Put(std::string_view piece) const {
    if (piece.empty()) return;
    switch (kind_) {
      case kXmlSaveUtf8File:
        if (target_.file) std::fwrite(piece.data(), 1, piece.size(), target_.file);
        break;
      case kXmlSaveText:
        if (target_.buffer) target_.buffer->append(piece);
        break;
      case kXmlSaveUtf16File: XmlWriteUtf16File(target_.file, piece); break;
      case kXmlSaveUtf16Text:
        if (target_.buffer) XmlToUtf16(*target_.buffer, piece);
        break;
      default: break;
    }
  }

 private:
  const XmlTarget& target_;
  int kind_;
};

std::string Indent(const XmlElement& element, int depth) {
  const int count = element.format.indentCount > 0 ? element.format.indentCount : 0;
  return std::string(static_cast<std::size_t>(count) * static_cast<std::size_t>(depth),
                     element.format.indentWithSpaces ? ' ' : '\t');
}

std::string Form(const std::string& stored, int escaped) { return escaped ? stored : XmlUnescape(stored); }

void XmlWriteElement(const Output& out, XmlElement* element, int depth, int withChildren, int escaped) {
  if (element == nullptr) return;
  const XmlExportFormat& f = element->format;
  const std::string inner = Indent(*element, depth + 1);

  std::string piece = Indent(*element, depth);
  piece += '<';
  piece += Form(element->name, escaped);
  for (const auto& attribute : element->attributes) {
    if (!attribute) continue;
    piece += ' ';
    piece += Form(attribute->name, escaped);
    piece += "=\"";
    piece += Form(attribute->value, escaped);
    piece += '"';
  }
  const bool childrenWritten = withChildren && !element->children.empty();
  if (element->contents.empty() && element->comments.empty() && element->cdataSections.empty() && !childrenWritten) {
    piece += "/>";
    if (!f.noBreakTags) piece += kCrLf;
    out.Put(piece);
    return;
  }
  piece += '>';
  if (!f.noBreakTags) piece += kCrLf;
  out.Put(piece);

  std::size_t nextComment = 0, nextContent = 0, nextCData = 0;
  const auto writeComment = [&](const XmlComment& comment) {
    std::string text = inner + "<!--" + comment.text + "-->";
    if (!f.noBreakComments) text += kCrLf;
    out.Put(text);
  };
  const auto writeCData = [&](const XmlCData& cdata) {
    std::string text = inner + "<![CDATA[" + cdata.text + "]]>";
    if (!f.noBreakComments) text += kCrLf;
    out.Put(text);
  };
  const auto writeContent = [&](const XmlContent& content, bool indentUnlessTagFlagOnly) {
    const bool tight = f.noBreakTags || f.noBreakContents;
    std::string text = (indentUnlessTagFlagOnly ? !f.noBreakTags : !tight) ? inner : std::string();
    if (!content.binary) text += Form(content.text, escaped);
    if (!tight) text += kCrLf;
    out.Put(text);
  };
  const auto& comments = element->comments;
  const auto& contents = element->contents;
  const auto& cdatas = element->cdataSections;

  if (withChildren) {
    // Children swapped out to files come back before they are written.
    for (const auto& child : element->children)
      if (!child) {
        element->SwapInAllChildren();
        break;
      }
    for (std::size_t k = 0; k < element->children.size(); ++k) {
      const int position = static_cast<int>(k);
      for (; nextComment < comments.size() && (!comments[nextComment] || comments[nextComment]->position <= position);
           ++nextComment)
        if (comments[nextComment]) writeComment(*comments[nextComment]);
      if (nextContent < contents.size()) {
        for (; nextContent < contents.size() && (!contents[nextContent] || contents[nextContent]->position <= position);
             ++nextContent)
          if (contents[nextContent]) writeContent(*contents[nextContent], true);
        for (; nextCData < cdatas.size() && (!cdatas[nextCData] || cdatas[nextCData]->position <= position);
             ++nextCData)
          if (cdatas[nextCData]) writeCData(*cdatas[nextCData]);
      }
      XmlWriteElement(out, element->children[k].get(), depth + 1, withChildren, escaped);
    }
  }
  for (; nextComment < comments.size(); ++nextComment)
    if (comments[nextComment]) writeComment(*comments[nextComment]);
  for (; nextCData < cdatas.size(); ++nextCData)
    if (cdatas[nextCData]) writeCData(*cdatas[nextCData]);
  for (; nextContent < contents.size(); ++nextContent)
    if (contents[nextContent]) writeContent(*contents[nextContent], false);

  const bool onlyOneContent = element->children.empty() && comments.empty() && cdatas.empty() && contents.size() == 1;
  std::string end = ((f.noBreakTags || f.noBreakContents) && onlyOneContent) ? std::string() : Indent(*element, depth);
  end += "</";
  end += XmlUnescape(element->name);
  end += '>';
  if (!f.noBreakTags) end += kCrLf;
  out.Put(end);
}

}  // namespace

void XmlHeader::Export(const XmlTarget& target, int phase, int kind) const {
  if (kind != kXmlSaveUtf8File && kind != kXmlSaveText && kind != kXmlSaveUtf16File && kind != kXmlSaveUtf16Text)
    return;
  const Output out(target, kind);
  if (phase == 0) {
    std::string_view declaration = text;
    if (kind == kXmlSaveUtf16Text) {
      if (target.buffer) target.buffer->append("\xFF\xFE", 2);
      if (declaration.starts_with(kUtf8Mark)) declaration.remove_prefix(kUtf8Mark.size());
    }
    std::string piece(declaration);
    if (!noBreakDeclaration) piece += kCrLf;
    out.Put(piece);
  }
  for (const auto& comment : comments) {
    if (!comment || comment->position != phase) continue;
    std::string piece = "<!--" + comment->text + "-->";
    if (!noBreakComments) piece += kCrLf;
    out.Put(piece);
  }
}

void XmlElement::Export(const XmlTarget& target, int withChildren, int escaped, int kind, const XmlHeader* header,
                        XmlTransform* transform) {
  if (transform == nullptr) {
    if (header) header->Export(target, 0, kind);
    XmlWriteElement(Output(target, kind), this, 0, withChildren, escaped);
    if (header) header->Export(target, 1, kind);
    return;
  }
  // With a transform the 8-bit text is built first and handed to the encoder.
  std::string text;
  XmlTarget scratch;
  scratch.buffer = &text;
  Export(scratch, withChildren, escaped, kXmlSaveText, header, nullptr);
  const std::string encoded = transform->Encode(text);
  if (kind == kXmlSaveUtf8File && target.file)
    std::fwrite(encoded.data(), 1, encoded.size(), target.file);
  else if (kind == kXmlSaveText && target.buffer)
    target.buffer->append(encoded);
}

}  // namespace nimbo
