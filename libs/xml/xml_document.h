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
inline constexpr int kXmlSaveText = 1;  // 8-bit text appended to a memory buffer
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

  bool SaveBinary(std::string* out) const;
  bool LoadBinary(std::string_view record);

  XmlElement* owner = nullptr;  // not owned; none for header comments
  std::string text;             // verbatim
  int position = 0;
};

// A CDATA section, laid out like a comment.
class XmlCData {
 public:
  XmlCData(XmlElement* owner, int position, std::string_view text = {});
  XmlCData(XmlElement* owner, int position, std::u16string_view wideText);

  bool SaveBinary(std::string* out) const;
  bool LoadBinary(std::string_view record);

  XmlElement* owner = nullptr;
  std::string text;  // verbatim
  int position = 0;
};

class XmlContent {
 public:
  // Text content: byteLength 0 stores the text escaped (asIs 0) or unchanged (asIs 1);
  // byteLength n stores the Base64 text of the first n bytes.
  XmlContent(XmlElement* owner, int position, std::string_view text = {}, int asIs = 0, std::size_t byteLength = 0);
  XmlContent(XmlElement* owner, int position, std::u16string_view wideText, int asIs = 0);

  void SetValue(std::string_view text, int asIs = 0, std::size_t byteLength = 0);
  // Binary content: 0. Otherwise, with out: the text (unescaped unless asStored) is
  // written to *out and its length returned; without out: the stored length, which
  // bounds the unescaped length.
  std::size_t GetValue(std::string* out, int asStored = 0) const;

  // The bytes of a binary content, or those decoded from the Base64 text of a text
  // content; false when out is missing or a text content has no text.
  bool GetBinary(std::string* out) const;
  bool SaveBinary(std::string* out) const;
  bool LoadBinary(std::string_view record);

  XmlElement* owner = nullptr;
  ZBuffer binaryValue;
  bool binary = false;
  std::string text;  // escaped
  int position = 0;
};

class XmlAttribute {
 public:
  XmlAttribute(std::string_view name, std::string_view value = {}, int asIs = 0, int temporary = 0);
  XmlAttribute(std::u16string_view wideName, std::u16string_view wideValue, int asIs = 0, int temporary = 0);

  // asIs 1 stores the text unchanged, 0 escapes it; SetName then drops trailing spaces.
  void SetName(std::string_view text, int asIs = 0);
  void SetValue(std::string_view text, int asIs = 0);
  // With out: writes the text (unescaped unless asStored) and returns its length;
  // without: returns the stored length.
  std::size_t GetName(std::string* out, int asStored = 0) const;
  std::size_t GetValue(std::string* out, int asStored = 0) const;
  // The unescaped value as a decimal integer, read the way atoi reads (0 when no number).
  int GetValueInt() const;
  // The unescaped value read as an unsigned, a signed or unsigned 64-bit decimal, or a
  // floating-point number (0 when it holds none).
  unsigned GetValueUInt() const;
  std::int64_t GetValueInt64() const;
  std::uint64_t GetValueUInt64() const;
  double GetValueFloat() const;
  void SetValueUInt(unsigned v);
  void SetValueInt(int v);
  void SetValueInt64(std::int64_t v);
  void SetValueUInt64(std::uint64_t v);
  void SetValueFloat(double v);
  // printf-style value (at most 10000 bytes), stored escaped.
  void SetValueFormat(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Binary values as Base64 with each CR LF written "__"; returns the stored length.
  std::size_t SetBinaryValue(const void* bytes, std::size_t length);
  // The decoded bytes (copied to out when given); 0 for an empty value.
  std::size_t GetBinaryValue(std::string* out) const;
  bool SaveBinary(std::string* out) const;
  bool LoadBinary(std::string_view record);

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
  explicit XmlElement(XmlElement* parent, std::string_view tagText = {}, int tagKeptWhole = 0, int temporary = 0);
  XmlElement(XmlElement* parent, std::u16string_view wideTagText, int tagKeptWhole = 0, int temporary = 0);
  ~XmlElement();
  XmlElement(const XmlElement&) = delete;
  XmlElement& operator=(const XmlElement&) = delete;

  // Replaces name and attributes from a tag text; drops every attribute, child, comment,
  // content and CDATA section.
  void ParseTag(std::string_view tagText, int tagKeptWhole = 0);

  // First child whose unescaped name equals name (case matters); when none and create is
  // set, a new child made from text (or from name when text is empty), appended.
  XmlElement* FindElement(std::string_view name, int create = 0, std::string_view text = {}, int temporary = 0);
  // As FindElement, from the first child; the find cursor is left at the child found
  // (at the child count when none was found).
  XmlElement* FindFirstElement(std::string_view name, int create = 0, std::string_view text = {}, int temporary = 0);
  // As FindElement, from the child after the find cursor.
  XmlElement* FindNextElement(std::string_view name, int create = 0, std::string_view text = {}, int temporary = 0);

  const std::vector<std::unique_ptr<XmlContent>>& GetContents() const { return contents; }
  // Appends a text content (escaped; with byteLength n the Base64 text of n bytes);
  // returns the new content count.
  int AddContent(std::string_view text, int position = 0, std::size_t byteLength = 0);
  int AddContent(std::u16string_view wideText, int position = 0);
  void RemoveAllContents();

  // First attribute whose unescaped name equals name; when none and create is set, a new
  // attribute with that name and value (both escaped), appended.
  XmlAttribute* FindAttribute(std::string_view name, int create = 0, std::string_view value = {}, int temporary = 0);

  std::size_t GetName(std::string* out, int asStored = 0) const;

  // Takes ownership of the child, appends it and sets its parent; returns it.
  XmlElement* AppendChild(std::unique_ptr<XmlElement> child);
  void RemoveAllChildren();

  // ---- Editing (indices count from 0; an index out of range changes nothing) ----
  // Makes an element from the tag text, appends it and returns it.
  XmlElement* AddChildElement(std::string_view tagText);
  // Inserts at index (appends past the end) and sets the parent; returns the new count.
  int InsertChild(int index, std::unique_ptr<XmlElement> element);
  // Inserts an element this element does not own (its parent is left alone); returns the
  // index, or the new count when it was appended.
  int InsertBorrowedChild(XmlElement* element, int index);
  // Takes every borrowed child out of the children without deleting it; returns how many.
  int ReleaseBorrowedChildren();
  // A borrowed child is only taken out; any other child is deleted. Returns the new count.
  int RemoveChildAt(int index);
  int RemoveChild(XmlElement* element);  // -1 when it is not a child
  // Takes the child out and hands it over (nothing for a borrowed child or a bad index).
  std::unique_ptr<XmlElement> DetachChild(int index);
  // Puts element at index; the old child goes to *old, or is deleted when old is null.
  bool ReplaceChild(int index, std::unique_ptr<XmlElement> element, std::unique_ptr<XmlElement>* old);
  int MoveChild(int from, int to);
  // Copies attributes and children of other in (see the library notes).
  void Merge(const XmlElement& other, bool overwrite);
  int RemoveTemporaryChildren(bool deep);
  int RemoveTemporaryAttributes(bool deep);
  int AddAttribute(std::string_view name, std::string_view value);
  int AddComment(std::string_view text, int position);
  int AddCData(std::string_view text, int position);
  int RemoveAttributeAt(int index);
  int RemoveAttribute(const XmlAttribute* attribute);
  std::unique_ptr<XmlAttribute> DetachAttribute(int index);
  int RemoveCommentAt(int index);
  int RemoveCDataAt(int index);
  int RemoveContentAt(int index);
  void SetName(std::string_view text);
  // Deep copy; the copy's temporary flag is clear and its layout the default one. Children
  // swapped out to files come back first.
  std::unique_ptr<XmlElement> Duplicate(XmlElement* newParent);
  // Default order: unescaped names without regard to case.
  void SortChildren(bool (*less)(const XmlElement&, const XmlElement&) = nullptr);
  void SortAttributes(bool (*less)(const XmlAttribute&, const XmlAttribute&) = nullptr);
  // Depth -1: all descendants; otherwise the children (0) and that many levels below.
  // The list holds each child after its own descendants.
  int CountDescendants(int depth) const;
  int CollectDescendants(std::vector<XmlElement*>* out, int depth);
  void Compact();
  // True when every parent and owner link of the subtree is consistent.
  bool Validate() const;
  // 0 when equal in their stored forms, else 1.
  int Compare(const XmlElement& other) const;
  // Names below the root down to this element joined by '' (empty for the root); cut at
  // 5000 bytes.
  std::string GetPath(bool asStored = false) const;
  XmlElement* FindByPath(std::string_view path);
  // Conditions "key op operand" joined by spaces; returns the number of matches.
  int Query(std::string_view query, std::vector<XmlElement*>* out, int depth = -1);
  int GetDepth() const;
  int IndexOfChild(const XmlElement* child) const;
  int IndexOfAttribute(const XmlAttribute* attribute) const;
  // Escaped 8-bit text of the subtree to the clipboard (see SetXmlClipboard).
  bool CopyToClipboard();
  XmlAttribute* AddBinaryAttribute(std::string_view name, const void* bytes, std::size_t length);

  // ---- Swapping children out to files of the swap folder ----
  bool SwapOutChild(int index);
  bool SwapInChild(int index);
  bool SwapInAllChildren();
  bool DeleteSwapFile(int index);
  std::string SwapFileName(int index) const;

  // ---- Binary form ----
  // Children swapped out to files come back first.
  bool SaveBinary(std::string* out);
  bool LoadBinary(std::string_view record);

  // ---- Signing and encryption (index -1: this element, else the child at index) ----
  // certificate and keys are PEM texts (certificate, then private key).
  bool Sign(int index, std::string_view certificatePem, std::string_view privateKeyPem);
  std::string GetSignature(int index);
  bool RemoveSignature(int index);
  bool VerifySignature(int index, std::string* signerCertificatePem);
  std::unique_ptr<XmlElement> EncryptForRecipients(int index, const std::vector<std::string>& certificatePems);
  std::unique_ptr<XmlElement> DecryptFromRecipients(int index, std::string* certificatePem);
  std::unique_ptr<XmlElement> EncryptWithPassword(std::string_view password);
  std::unique_ptr<XmlElement> DecryptWithPassword(std::string_view password);
  bool EncryptChildWithPassword(int index, std::string_view password);
  bool DecryptChildWithPassword(int index, std::string_view password);

  // Applies a layout to this element and every descendant (indent count capped at 50).
  void ApplyExportFormat(const XmlExportFormat& format);

  // Writes header phase 0, this element (with its descendants when withChildren is set)
  // and header phase 1. escaped 1 writes names, values and contents as stored.
  void Export(const XmlTarget& target, int withChildren, int escaped, int kind, const XmlHeader* header,
              XmlTransform* transform = nullptr);
  // An upper estimate of the size of the tree's text.
  std::size_t EstimateSize() const;

  int tagKeptWhole = 0;
  XmlElement* parent = nullptr;                       // not owned
  std::uint32_t findCursor = UINT32_MAX;              // before the first child
  std::string name;                                   // escaped
  std::vector<std::unique_ptr<XmlElement>> children;  // a null slot is skipped
  std::vector<std::unique_ptr<XmlAttribute>> attributes;
  std::vector<std::unique_ptr<XmlComment>> comments;
  std::vector<std::unique_ptr<XmlContent>> contents;
  std::vector<std::unique_ptr<XmlCData>> cdataSections;
  bool temporary = false;
  XmlExportFormat format;             // noBreakDeclaration is not used by elements
  std::vector<XmlElement*> borrowed;  // children this element does not own (active)

 private:
  // Takes the borrowed children out of the list so that clearing it deletes only owned ones.
  void DropBorrowed();
  XmlElement* ElementAt(int index);
  bool LoadBinaryDepth(std::string_view record, int depth);
  friend class XmlDocument;
};

class XmlHeader {
 public:
  explicit XmlHeader(std::string_view text = {});
  explicit XmlHeader(std::u16string_view wideText);

  // The declaration becomes
  // "<?xml version=\"1.0\" encoding=\"<encoding>\" standalone=\"yes\" ?>".
  void SetDeclaration(std::string_view encoding);
  void AddComment(std::string_view text, int position);
  bool SaveBinary(std::string* out) const;
  bool LoadBinary(std::string_view record);

  // Phase 0: the declaration and the comments at position 0; phase 1: the comments at
  // position 1.
  void Export(const XmlTarget& target, int phase, int kind) const;

  // Parses the text from its first '<' into elements below parent (none: the top level,
  // whose comments come to this header). Returns the element made at this level that no
  // parent took (at the top level: the root), or none. Failures set the document's load
  // state to 2.
  std::unique_ptr<XmlElement> ParseElement(XmlElement* parent, std::string_view text, XmlDocument* document);

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

  // Copy of header and root (load state 0, no source name, save-on-destroy clear).
  std::unique_ptr<XmlDocument> Duplicate() const;
  int Compare(const XmlDocument& other) const;  // 0 equal, else 1
  void Compact();
  bool Validate() const;
  std::size_t EstimateSize() const;
  int RemoveTemporary();
  int QueryByPath(std::string_view path, std::string_view query, std::vector<XmlElement*>* out, int depth = -1);
  void ExportTree(const XmlTarget& target, int escaped, int kind, const XmlHeader* header,
                  XmlTransform* transform = nullptr);
  void SetSaveOnDestroy(bool flag) { saveOnDestroy = flag; }
  std::uint32_t GetLoadState() const { return loadState; }
  bool SaveBinary(std::string* out) const;
  bool LoadBinary(std::string_view form);

  // Profile-style access: a '\'-separated path of element names below the root and an
  // attribute name. Returns the value's length; copies it (with its NUL) when it fits size.
  std::size_t GetAttributeByPath(std::string_view path, std::string_view attribute, char* buffer, std::size_t size);
  // Creates missing elements; a null value deletes the attribute, an empty attribute name
  // the element reached.
  void SetAttributeByPath(std::string_view path, std::string_view attribute, const char* value);

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

// Version record of the library.
struct XmlVersion {
  std::uint32_t major = 1;
  std::uint32_t minor = 100;
  char date[11] = "13-10-2011";
};
void XmlGetVersion(XmlVersion* out);

// The text loaded as a document, its root copied out; none when the load failed. With no
// text, the clipboard's text is loaded.
std::unique_ptr<XmlElement> XmlParseToElement(const char* text);

// Clipboard exchange through the caller (a desktop sets it; none by default).
struct XmlClipboard {
  bool (*setText)(const std::string& text) = nullptr;
  bool (*getText)(std::string* text) = nullptr;
};
void SetXmlClipboard(const XmlClipboard& clipboard);

// Folder of swap files (the program's private folder); "" is the current directory.
void SetXmlSwapFolder(const std::string& folder);

// '*' any run, '?' one character, everything else compared without case.
bool XmlWildcardMatch(std::string_view text, std::string_view pattern);
bool XmlQueryCondition(std::string_view value, std::string_view op, std::string_view operand);

// Base64 (standard alphabet, '=' padding, CR LF after 72 characters).
std::string XmlBase64Encode(std::string_view bytes);
// Skips CR, LF and characters outside the alphabet; '=' ends a group.
std::string XmlBase64Decode(std::string_view text);
// Decodes into the caller's buffer, never past capacity; returns the bytes written.
std::size_t XmlBase64DecodeTo(std::string_view text, std::uint8_t* out, std::size_t capacity);

// AES-256-CBC with a zero IV and PKCS #7 padding; the key derived from the SHA-1 of the password
// (see the notes in the source). False on failure (a wrong password usually fails the padding).
bool XmlPasswordCipher(bool decrypt, std::string_view password, std::string_view data, std::string* out);

// The user's certificate store: PEM certificates and private keys in
// ${XDG_CONFIG_HOME:-~/.config}/Nimbo/My/ (a folder may be set for tests).
void SetXmlCertificateStore(const std::string& folder);

// ---- Profile-style values in XML files (document null: the file, saved again by writers) ----
std::size_t XmlProfileGetString(std::string_view path, std::string_view attribute, const char* def, char* buffer,
                                std::size_t size, const char* fileName, XmlDocument* document);
int XmlProfileGetInt(std::string_view path, std::string_view attribute, int def, const char* fileName,
                     XmlDocument* document);
unsigned XmlProfileGetUInt(std::string_view path, std::string_view attribute, unsigned def, const char* fileName,
                           XmlDocument* document);
std::int64_t XmlProfileGetInt64(std::string_view path, std::string_view attribute, std::int64_t def,
                                const char* fileName, XmlDocument* document);
std::uint64_t XmlProfileGetUInt64(std::string_view path, std::string_view attribute, std::uint64_t def,
                                  const char* fileName, XmlDocument* document);
double XmlProfileGetFloat(std::string_view path, std::string_view attribute, double def, const char* fileName,
                          XmlDocument* document);
std::size_t XmlProfileGetBinary(std::string_view path, std::string_view attribute, const char* def, std::uint8_t* out,
                                std::size_t capacity, const char* fileName, XmlDocument* document);
int XmlProfileSetString(std::string_view path, std::string_view attribute, const char* value, const char* fileName,
                        XmlDocument* document);
int XmlProfileSetInt(std::string_view path, std::string_view attribute, int value, const char* fileName,
                     XmlDocument* document);
int XmlProfileSetUInt(std::string_view path, std::string_view attribute, unsigned value, const char* fileName,
                      XmlDocument* document);
int XmlProfileSetInt64(std::string_view path, std::string_view attribute, std::int64_t value, const char* fileName,
                       XmlDocument* document);
int XmlProfileSetUInt64(std::string_view path, std::string_view attribute, std::uint64_t value, const char* fileName,
                        XmlDocument* document);
int XmlProfileSetFloat(std::string_view path, std::string_view attribute, double value, const char* fileName,
                       XmlDocument* document);
int XmlProfileSetWideString(std::string_view path, std::string_view attribute, std::u16string_view value,
                            const char* fileName, XmlDocument* document);
int XmlProfileSetBinary(std::string_view path, std::string_view attribute, const void* bytes, std::size_t length,
                        const char* fileName, XmlDocument* document);
int XmlProfileSetElementName(std::string_view path, std::string_view newName, const char* fileName,
                             XmlDocument* document);
// Fill the lists with unescaped copies; return their number (0 when the path leads nowhere).
int XmlProfileListAttributes(std::string_view path, std::vector<std::string>* names, std::vector<std::string>* values,
                             const char* fileName);
int XmlProfileListChildren(std::string_view path, std::vector<std::string>* names, const char* fileName);

}  // namespace nimbo
