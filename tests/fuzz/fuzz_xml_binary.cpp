// The binary form of XML documents: any bytes loaded; what loads saves and loads again equal.
#include <string>

#include "libs/xml/xml_document.h"

using namespace nimbo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    XmlDocument doc;
    if (!doc.LoadBinary(std::string_view(reinterpret_cast<const char*>(data), size))) return 0;
    std::string form;
    doc.SaveBinary(&form);
    XmlDocument again;
    if (!again.LoadBinary(form) || doc.Compare(again) != 0) __builtin_trap();
    std::string text;
    doc.Save(&text, 1, kXmlSaveText);
    return 0;
}
