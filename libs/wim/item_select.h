// The rule that picks archive items by exact name or by pattern.
#pragma once
#include <memory>
#include <string>

// UTF-8 to UTF-16; an invalid byte becomes U+FFFD.
std::u16string Utf8ToUtf16(const std::string& text);

class ItemSelector {
 public:
  // The pattern (or name) is compiled once, also when it is used as an exact name.
  ItemSelector(const char* nameOrPattern, bool usePattern);
  ~ItemSelector();
  ItemSelector(const ItemSelector&) = delete;
  ItemSelector& operator=(const ItemSelector&) = delete;

  // itemPath: UTF-8 with '/' or '\' separators. A pattern is searched in the path
  // written with '\'; a name must equal it without regard to letter case.
  bool Selects(const std::string& itemPath) const;

 private:
  struct Compiled;
  bool usePattern_;
  std::u16string name_;
  std::unique_ptr<Compiled> compiled_;
};
