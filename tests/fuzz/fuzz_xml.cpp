// The XML parser (UTF-8 and UTF-16 text) and the writer round trip of what it loaded.
#include <string>

#include "libs/xml/xml_document.h"

using namespace nimbo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 65536) return 0;
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    XmlDocument doc;
    int loaded;
    if (data[0] & 1) {
        std::u16string wide(text.size() / 2, u'\0');
        for (size_t i = 0; i < wide.size(); ++i)
            wide[i] =
                static_cast<char16_t>(static_cast<uint8_t>(text[2 * i]) | static_cast<uint8_t>(text[2 * i + 1]) << 8);
        loaded = doc.LoadWideText(wide);
    } else {
        loaded = doc.LoadText(text);
    }
    if (loaded) {
        std::string out;
        doc.Save(&out, (data[0] >> 1) & 1, (data[0] & 4) ? kXmlSaveUtf16Text : kXmlSaveText);
        XmlDocument again;
        again.LoadText(out);
    }
    return 0;
}
