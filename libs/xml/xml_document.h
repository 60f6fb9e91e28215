// XML document library: a tree of plain records loaded from and saved to XML text.
//
// All text inside the tree is UTF-8. Element names, attribute names and values and text
// contents are held in escaped form (as written inside XML text); comment and CDATA texts
// are held verbatim. Reading operations return the unescaped form unless asked for the
// stored one. The library throws nothing, logs nothing and keeps no state between calls;
// a document belongs to the thread that uses it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace nimbo {

class XmlElement;
class XmlHeader;
class XmlDocument;

// Growable, always zero-filled byte block.
class ZBuffer {
 public:
  ZBuffer() = default;
  explicit ZBuffer(std::uint64_t size) : bytes_(size, 0) {}
  void Resize(std::uint64_t size) { bytes_.resize(size, 0); }
  void Grow(std::uint64_t by) { Resize(bytes_.size() + by); }
  void AtLeast(std::uint64_t size) {
    if (size >= bytes_.size()) Resize(size);
  }
  std::uint8_t* Data() { return bytes_.data(); }
  const std::uint8_t* Data() const { return bytes_.data(); }
  std::uint64_t Size() const { return bytes_.size(); }
  bool operator==(const ZBuffer&) const = default;

 private:
  std::vector<std::uint8_t> bytes_;
};

// The caller's layout record for saving (12 bytes).
struct XmlExportFormat {
  std::uint8_t indentWithSpaces = 0;  // 0: the indent unit is made of tabs
  std::uint8_t unused[3] = {0, 0, 0};
  std::int32_t indentCount = 1;         // units per nesting level
  std::uint8_t noBreakDeclaration = 0;  // no line break after the declaration
  std::uint8_t noBreakComments = 0;     // ... after comments and CDATA sections
  std::uint8_t noBreakTags = 0;         // ... after tags
  std::uint8_t noBreakContents = 0;     // ... after contents
};
static_assert(sizeof(XmlExportFormat) == 12);
static_assert(offsetof(XmlExportFormat, indentCount) == 4);
static_assert(offsetof(XmlExportFormat, noBreakDeclaration) == 8);
static_assert(offsetof(XmlExportFormat, noBreakContents) == 11);

// Optional encoder / decoder of whole files (the caller's object).
class XmlTransform {
 public:
  virtual ~XmlTransform() = default;
  virtual std::string Encode(std::string_view input) = 0;  // used when saving
  virtual std::string Decode(std::string_view input) = 0;  // used when reading a file
};

// Source kinds of XmlDocument::Load.
inline constexpr int kXmlSourceFile = 0;      // file name (UTF-8)
inline constexpr int kXmlSourceText = 1;      // text in memory
inline constexpr int kXmlSourceWideFile = 7;  // file name (UTF-16)

// Save kinds of XmlDocument::Save and output kinds of the writer.
inline constexpr int kXmlSaveUtf8File = 0;
inline constexpr int kXmlSaveText = 1;       // 8-bit text appended to a memory buffer
inline constexpr int kXmlSaveNothing = 2;
inline constexpr int kXmlSaveUtf16File = 3;  // with byte-order mark
inline constexpr int kXmlSaveUtf16Text = 4;  // FF FE and UTF-16LE units appended to a memory buffer

// Where the writer puts its output: an open file (kinds 0, 3) or a growable buffer (kinds 1, 4).
struct XmlTarget {
  std::FILE* file = nullptr;
  std::string* buffer = nullptr;
};

// A comment; position = number of child elements of its owner that precede it (header
// comments: 0 before the root element, 1 after it).
class XmlComment {
 public:
  XmlComment(XmlElement* owner, int position, std::string_view text = {});
  XmlComment(XmlElement* owner, int position, std::u16string_view wideText);

  XmlElement* owner = nullptr;  // not owned; none for header comments
  std::string text;             // verbatim
  int position = 0;
};

// A CDATA section, laid out like a comment.
class XmlCData {
 public:
  XmlCData(XmlElement* owner, int position, std::string_view text = {});
  XmlCData(XmlElement* owner, int position, std::u16string_view wideText);

  XmlElement* owner = nullptr;
  std::string text;  // verbatim
  int position = 0;
};

class XmlContent {
 public:
  // Text content: byteLength 0 stores the text escaped (asIs 0) or unchanged (asIs 1);
  // byteLength n stores the Base64 text of the first n bytes.
  XmlContent(XmlElement* owner, int position, std::string_view text = {}, int asIs = 0,
             std::size_t byteLength = 0);
  XmlContent(XmlElement* owner, int position, std::u16string_view wideText, int asIs = 0);

  void SetValue(std::string_view text, int asIs = 0, std::size_t byteLength = 0);
  // Binary content: 0. Otherwise, with out: the text (unescaped unless asStored) is
  // written to *out and its length returned; without out: the stored length, which
  // bounds the unescaped length.
  std::size_t GetValue(std::string* out, int asStored = 0) const;

  XmlElement* owner = nullptr;
  ZBuffer binaryValue;
  bool binary = false;
  std::string text;  // escaped
  int position = 0;
};

class XmlAttribute {
 public:
  XmlAttribute(std::string_view name, std::string_view value = {}, int asIs = 0, int temporary = 0);
  XmlAttribute(std::u16string_view wideName, std::u16string_view wideValue, int asIs = 0,
               int temporary = 0);

  // asIs 1 stores the text unchanged, 0 escapes it; SetName then drops trailing spaces.
  void SetName(std::string_view text, int asIs = 0);
  void SetValue(std::string_view text, int asIs = 0);
  // With out: writes the text (unescaped unless asStored) and returns its length;
  // without: returns the stored length.
  std::size_t GetName(std::string* out, int asStored = 0) const;
  std::size_t GetValue(std::string* out, int asStored = 0) const;
  // The unescaped value as a decimal integer, read the way atoi reads (0 when no number).
  int GetValueInt() const;

  std::string name;   // escaped
  std::string value;  // escaped
  XmlElement* owner = nullptr;
  bool temporary = false;
};

class XmlElement {
 public:
  // Makes an element from a tag text such as "<IMAGE INDEX=\"1\">" (the '<' and the end are
  // optional: "root" makes an element named root). With tagKeptWhole 1 the whole text is
  // the name. The element is not added to the parent's children.
  explicit XmlElement(XmlElement* parent, std::string_view tagText = {}, int tagKeptWhole = 0,
                      int temporary = 0);
  XmlElement(XmlElement* parent, std::u16string_view wideTagText, int tagKeptWhole = 0,
             int temporary = 0);
  ~XmlElement();
  XmlElement(const XmlElement&) = delete;
  XmlElement& operator=(const XmlElement&) = delete;

  // Replaces name and attributes from a tag text; drops every attribute, child, comment,
  // content and CDATA section.
  void ParseTag(std::string_view tagText, int tagKeptWhole = 0);

  // First child whose unescaped name equals name (case matters); when none and create is
  // set, a new child made from text (or from name when text is empty), appended.
  XmlElement* FindElement(std::string_view name, int create = 0, std::string_view text = {},
                          int temporary = 0);
  // As FindElement, from the first child; the find cursor is left at the child found
  // (at the child count when none was found).
  XmlElement* FindFirstElement(std::string_view name, int create = 0, std::string_view text = {},
                               int temporary = 0);
  // As FindElement, from the child after the find cursor.
  XmlElement* FindNextElement(std::string_view name, int create = 0, std::string_view text = {},
                              int temporary = 0);

  const std::vector<std::unique_ptr<XmlContent>>& GetContents() const { return contents; }
  // Appends a text content (escaped; with byteLength n the Base64 text of n bytes);
  // returns the new content count.
  int AddContent(std::string_view text, int position = 0, std::size_t byteLength = 0);
  int AddContent(std::u16string_view wideText, int position = 0);
  void RemoveAllContents();

  // First attribute whose unescaped name equals name; when none and create is set, a new
  // attribute with that name and value (both escaped), appended.
  XmlAttribute* FindAttribute(std::string_view name, int create = 0, std::string_view value = {},
                              int temporary = 0);

  std::size_t GetName(std::string* out, int asStored = 0) const;

  // Takes ownership of the child, appends it and sets its parent; returns it.
  XmlElement* AppendChild(std::unique_ptr<XmlElement> child);
  void RemoveAllChildren();

  // Applies a layout to this element and every descendant (indent count capped at 50).
  void ApplyExportFormat(const XmlExportFormat& format);

  // Writes header phase 0, this element (with its descendants when withChildren is set)
  // and header phase 1. escaped 1 writes names, values and contents as stored.
  void Export(const XmlTarget& target, int withChildren, int escaped, int kind,
              const XmlHeader* header, XmlTransform* transform = nullptr);
  // An upper estimate of the size of the tree's text.
  std::size_t EstimateSize() const;

  int tagKeptWhole = 0;
  XmlElement* parent = nullptr;          // not owned
  std::uint32_t findCursor = UINT32_MAX;  // before the first child
  std::string name;                       // escaped
  std::vector<std::unique_ptr<XmlElement>> children;  // a null slot is skipped
  std::vector<std::unique_ptr<XmlAttribute>> attributes;
  std::vector<std::unique_ptr<XmlComment>> comments;
  std::vector<std::unique_ptr<XmlContent>> contents;
  std::vector<std::unique_ptr<XmlCData>> cdataSections;
  bool temporary = false;
  XmlExportFormat format;  // noBreakDeclaration is not used by elements
};

class XmlHeader {
 public:
  explicit XmlHeader(std::string_view text = {});
  explicit XmlHeader(std::u16string_view wideText);

  // The declaration becomes
  // "<?xml version=\"1.0\" encoding=\"<encoding>\" standalone=\"yes\" ?>".
  void SetDeclaration(std::string_view encoding);
  void AddComment(std::string_view text, int position);

  // Phase 0: the declaration and the comments at position 0; phase 1: the comments at
  // position 1.
  void Export(const XmlTarget& target, int phase, int kind) const;

  // Parses the text from its first '<' into elements below parent (none: the top level,
  // whose comments come to this header). Returns the element made at this level that no
  // parent took (at the top level: the root), or none. Failures set the document's load
  // state to 2.
  std::unique_ptr<XmlElement> ParseElement(XmlElement* parent, std::string_view text,
                                           XmlDocument* document);

  std::uint8_t formatBytes[8] = {0, 0, 0, 0, 0, 0, 0, 0};  // bytes 0-7 of the last format
  std::uint8_t noBreakDeclaration = 0;
  std::uint8_t noBreakComments = 0;
  std::string text;  // the declaration, possibly empty
  std::vector<std::unique_ptr<XmlComment>> comments;
};

class XmlDocument {
 public:
  // Maximum nesting of elements the parser accepts.
  static constexpr int kMaxDepth = 512;

  // A document with the default declaration and an element named root.
  XmlDocument();
  // Loads (see Load).
  XmlDocument(std::string_view source, int kind, XmlTransform* transform = nullptr);
  explicit XmlDocument(std::u16string_view wideFileName, XmlTransform* transform = nullptr);
  ~XmlDocument();
  XmlDocument(const XmlDocument&) = delete;
  XmlDocument& operator=(const XmlDocument&) = delete;

  // Source kinds: 0 file name, 1 text in memory. The text of a file or memory source is
  // UTF-8 or UTF-16 (LE or BE), with or without a byte-order mark. Returns 1; 0 only when
  // the elements nest deeper than kMaxDepth (load state 2, no root).
  int Load(std::string_view source, int kind, XmlTransform* transform = nullptr);
  // Source kind 7: file name given as UTF-16.
  int Load(std::u16string_view wideFileName, XmlTransform* transform = nullptr);
  int LoadText(std::string_view text) { return Load(text, kXmlSourceText); }
  int LoadWideText(std::u16string_view wideText);

  // File kinds 0 and 3: target names the file (none: the source name). Memory kinds 1 and
  // 4: the output is appended to the buffer. Returns 1 when written, else 0.
  int Save(const char* fileName, int escaped, int kind, XmlTransform* transform = nullptr);
  int Save(const char16_t* wideFileName, int escaped, int kind, XmlTransform* transform = nullptr);
  int Save(std::string* buffer, int escaped, int kind, XmlTransform* transform = nullptr);
  int Save(std::nullptr_t, int escaped, int kind, XmlTransform* transform = nullptr) {
    return Save(static_cast<const char*>(nullptr), escaped, kind, transform);
  }

  void SetExportFormat(const XmlExportFormat& format);
  XmlElement* GetRootElement() { return root.get(); }
  void SetHeader(std::unique_ptr<XmlHeader> newHeader);
  void SetRootElement(std::unique_ptr<XmlElement> element);
  // Hands the root to the caller and puts an element made from "<root/>" in its place.
  std::unique_ptr<XmlElement> DetachRootElement();
  // Saves first when save-on-destroy is set, then frees the tree, header and source name.
  void Clear();

  std::uint32_t loadState = 0;  // 0 loaded, 1 defaults supplied, 2 an element end was not found
  bool wideName = false;
  std::string sourceName;  // UTF-8; empty for memory sources
  std::unique_ptr<XmlHeader> header;
  std::unique_ptr<XmlElement> root;
  bool saveOnDestroy = false;

 private:
  int SaveToFile(const std::string& fileName, int escaped, int kind, XmlTransform* transform);
  void LoadDefaults();
  int ParseText(std::string text, XmlTransform* transform);

  friend class XmlHeader;
  bool tooDeep_ = false;  // set by the parser when the nesting limit was hit
};

}  // namespace nimbo
