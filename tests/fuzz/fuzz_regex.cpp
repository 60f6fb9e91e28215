// The regular-expression compiler and matcher: pattern and text from the input, both
// instances, every flag; the step and depth limits bound each match.
#include <string>

#include "libs/regex/regex_engine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > 2048) return 0;
    int flags = data[0] & 0x3F;
    std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    size_t cut = rest.find('\0');
    std::string pattern = rest.substr(0, cut);
    std::string text = cut == std::string::npos ? std::string() : rest.substr(cut + 1);
    text = text.c_str();
    {
        CRegexT<char> re(pattern.c_str(), flags);
        re.Match(text.c_str());
        re.Match(text.c_str(), static_cast<int>(text.size() / 2));
    }
    {
        std::u16string p16(pattern.begin(), pattern.end()), t16(text.begin(), text.end());
        CRegexT<char16_t> re(p16.c_str(), flags);
        re.Match(t16.c_str());
    }
    return 0;
}
