#include "_services/binl/bootmgr_xsl.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>

#include "_services/host_records.h"
#include "libs/platform/atomic_file.h"
#include "libs/platform/file_read.h"
#include "libs/platform/pe_resource.h"

void xml_memory_writer::write(const void* data, size_t size) {
    if (buffer_ && written_ < capacity_) {
        const size_t room = capacity_ - written_;
        std::memcpy(buffer_ + written_, data, size < room ? size : room);
    }
    written_ += size;
}

namespace {

constexpr const char* kHead = "/xsl:stylesheet/xsl:template[@match='osboot-list']/osxml:text-mode-ui/head";
constexpr const char* kUi = "/xsl:stylesheet/xsl:template[@match='osboot-list']/osxml:text-mode-ui";

struct Colours {
    const char* title;
    const char* footer;
    const char* background;
    const char* foreground;
    const char* active;
};

// EFI32 and EFI64 menus are told apart by their colours.
const Colours kEfi32 = {"RGBIRGBX", "XXXXRGBX", "RGXI", "RGBI", "XXXXRGBI"};
const Colours kEfi64 = {"XXXXRGBX", "RGBIRGBX", "RGBI", "RGXI", "RGBIXXXX"};

// Title characters as UTF-8, at most limit code points (bytes that do not start a
// character are kept with the one before them).
std::string CutTitle(const char* title, size_t limit, size_t& points) {
    std::string out;
    points = 0;
    for (const char* p = title ? title : ""; *p; ++p) {
        const bool starts = (uint8_t(*p) & 0xC0) != 0x80;
        if (starts && points == limit) break;
        if (starts) ++points;
        out += *p;
    }
    return out;
}

std::string Repeat(const char* unit, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += unit;
    return s;
}

void ClearChildren(pugi::xml_node node) {
    while (node.first_child()) node.remove_child(node.first_child());
}

void AddXslAttribute(pugi::xml_node option, const char* name, const char* select) {
    pugi::xml_node a = option.append_child("xsl:attribute");
    a.append_attribute("name") = name;
    a.append_child("xsl:value-of").append_attribute("select") = select;
}

}  // namespace

int EditBootmgrXsl(std::vector<uint8_t>& buffer, uint32_t& length, int style, const char* title, int platform) {
    if (platform != 2 && platform != 3) return kBootmgrXslBadPlatform;
    if ((style != 1 && style != 2) || length > buffer.size()) return kBootmgrXslBadArgument;
    pugi::xml_document doc;
    if (!doc.load_buffer(buffer.data(), length, pugi::parse_default | pugi::parse_comments))
        return kBootmgrXslBadDocument;
    const Colours& colours = platform == 2 ? kEfi32 : kEfi64;
    pugi::xml_node ui = doc.select_node(kUi).node();
    pugi::xml_node head = doc.select_node(kHead).node();
    pugi::xml_node titleNode =
        doc.select_node((std::string(kHead) + "/xsl:for-each[@select='@wds']/title").c_str()).node();
    pugi::xml_node footer = doc.select_node((std::string(kHead) + "/footer").c_str()).node();
    if (!ui || !head || !titleNode || !footer) return kBootmgrXslNoNode;

    // The title, centred in the line and framed.
    const size_t line = style == 1 ? 78 : 79;
    size_t points = 0;
    const std::string text = CutTitle(title, line - 2, points);
    const size_t left = (line - 2 - points) / 2, right = line - 2 - points - left;
    const std::string framed = "\u2554" + Repeat("\u2550", line - 2) + "\u2557\n\u2551" + std::string(left, ' ') +
                               text + std::string(right, ' ') + "\u2551\n\u255A" + Repeat("\u2550", line - 2) +
                               "\u255D";
    ClearChildren(titleNode);
    titleNode.remove_attribute("color");
    titleNode.append_attribute("color") = colours.title;
    titleNode.append_child(pugi::node_pcdata).set_value(framed.c_str());

    ClearChildren(footer);
    footer.remove_attribute("color");
    footer.append_attribute("color") = colours.footer;
    footer.append_child(pugi::node_pcdata).set_value("ESC=UEFI Settings          Nimbo IP:");
    footer.append_child("xsl:value-of").append_attribute("select") = "@wds";
    const std::string program = std::string(" ") + ProgramTitle + (platform == 2 ? " EFI32" : " EFI64");
    footer.append_child(pugi::node_pcdata).set_value(program.c_str());

    // The body: everything of the menu but its head is replaced.
    for (pugi::xml_node child = ui.first_child(); child;) {
        pugi::xml_node next = child.next_sibling();
        if (child != head) ui.remove_child(child);
        child = next;
    }
    for (const char* name : {"background-color", "foreground-color"}) ui.remove_attribute(name);
    ui.append_attribute("background-color") = colours.background;
    ui.append_attribute("foreground-color") = colours.foreground;
    pugi::xml_node body = ui.append_child("body");
    body.append_child("hr");
    body.append_child("p").append_child(pugi::node_pcdata).set_value(" ");
    pugi::xml_node select = body.append_child("form").append_child("select");
    select.append_attribute("name") = "osboot-selection";
    select.append_attribute("minsize") = std::to_string(line - 10).c_str();
    select.append_attribute("right-justify") = "";
    select.append_attribute("show-arrows") = "";
    select.append_attribute("noindent") = "";
    select.append_attribute("active-color") = colours.active;
    pugi::xml_node forEach = select.append_child("xsl:for-each");
    forEach.append_attribute("select") = "osboot-entry";
    pugi::xml_node option = forEach.append_child("option");
    pugi::xml_node ifDefault = option.append_child("xsl:if");
    ifDefault.append_attribute("test") = "@default";
    ifDefault.append_child("xsl:attribute").append_attribute("name") = "selected";
    AddXslAttribute(option, "value", "@value");
    AddXslAttribute(option, "carat", "@carat");
    option.append_child("xsl:value-of").append_attribute("select") = "@name";
    body.append_child("p").append_child(pugi::node_pcdata).set_value(" ");
    body.append_child("hr");
    body.append_child("p")
        .append_child(pugi::node_pcdata)
        .set_value("Select an option and press ENTER to boot/install");

    struct timeval tv {};
    gettimeofday(&tv, nullptr);
    struct tm tm {};
    localtime_r(&tv.tv_sec, &tm);
    char stamp[64];
    snprintf(stamp, sizeof stamp, "[%02d/%02d/%d %02d:%02d:%02d.%03d] ", tm.tm_mon + 1, tm.tm_mday, tm.tm_year + 1900,
             tm.tm_hour, tm.tm_min, tm.tm_sec, int(tv.tv_usec / 1000));
    const std::string comment = std::string(" ") + stamp + "Resource edited by " + ProgramTitle + " ";
    doc.document_element().prepend_child(pugi::node_comment).set_value(comment.c_str());

    // Measure, then fill a zeroed buffer with room for a terminating zero unit.
    xml_memory_writer measure(nullptr, 0);
    doc.save(measure, "\t", pugi::format_default, pugi::encoding_utf16_le);
    const size_t size = measure.written();
    if (size > UINT32_MAX - 2) return kBootmgrXslBadDocument;
    std::vector<uint8_t> out(size + 2, 0);
    xml_memory_writer fill(out.data(), size);
    doc.save(fill, "\t", pugi::format_default, pugi::encoding_utf16_le);
    if (fill.written() != size) return kBootmgrXslBadDocument;
    buffer.swap(out);
    length = uint32_t(size);
    return 0;
}

namespace {

constexpr uint16_t kHtmlType = 23;
constexpr uint32_t kEnglishUs = 1033;

std::string SlashPath(const char* path) {
    std::string p = path;
    for (char& c : p)
        if (c == '\\') c = '/';
    return p;
}

// Opens the boot manager: 0 loaded, or the negative result shared by both routines.
int LoadBootManager(const char* file, std::string& path, PeResourceImage& image) {
    if (!file || !*file) return -1;
    path = SlashPath(file);
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return -1;
    if (!S_ISREG(st.st_mode) || access(path.c_str(), R_OK | W_OK) != 0) return -2;
    std::vector<uint8_t> bytes;
    if (ReadRegularFile(path, &bytes) != FileRead::Ok) return -2;
    return image.Load(std::move(bytes)) ? 0 : -3;
}

const PeResourceLanguage* FindXsl(const PeResourceImage& image) {
    const PeResourceKey type = PeResourceKey::Id(kHtmlType), name = PeResourceKey::Name("BOOTMGR.XSL");
    const PeResourceLanguage* found = image.Find(type, name, kEnglishUs);
    return found ? found : image.Find(type, name, -1);
}

}  // namespace

int ReadBootmgrXsl(const char* file, uint8_t* buffer, uint32_t* length) {
    std::string path;
    PeResourceImage image;
    int rc = LoadBootManager(file, path, image);
    if (rc != 0) return rc;
    const PeResourceLanguage* xsl = FindXsl(image);
    if (!xsl) return -4;
    if (xsl->data.empty()) return -5;
    if (!length) return -6;
    const uint32_t size = uint32_t(xsl->data.size());
    if (!buffer) {
        *length = size;
        return 0;
    }
    if (*length < size) {
        *length = 0;
        return -7;
    }
    std::memcpy(buffer, xsl->data.data(), size);
    *length = size;
    return 0;
}

int WriteBootmgrXsl(const char* file, const uint8_t* data, uint32_t size) {
    std::string path;
    PeResourceImage image;
    int rc = LoadBootManager(file, path, image);
    if (rc != 0) return rc;
    if (!FindXsl(image)) return -4;
    if (!data || size == 0) return -7;
    image.Remove(PeResourceKey::Name("MUI"), PeResourceKey::Id(1));
    const PeResourceKey type = PeResourceKey::Id(kHtmlType), name = PeResourceKey::Name("BOOTMGR.XSL");
    image.Set(type, name, kEnglishUs, std::vector<uint8_t>(data, data + size));
    std::vector<uint8_t> out;
    if (!image.Save(out)) return -5;

    struct stat st;
    if (stat(path.c_str(), &st) != 0) return -8;
    if (!ReplaceFile(path, out.data(), out.size(), st.st_mode & 07777)) return -8;
    return 0;
}
