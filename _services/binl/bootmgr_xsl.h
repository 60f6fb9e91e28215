// Rewriting the text-mode menu style sheet of an EFI boot manager (its BOOTMGR.XSL
// resource): title, footer with the server address, colours and the option list.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include <pugixml.hpp>

// Collects a saved document in a caller's buffer: copies what still fits behind the bytes
// already written, never more than the capacity, and counts every byte, so that a first
// pass with capacity 0 measures the document.
class xml_memory_writer final : public pugi::xml_writer {
public:
    xml_memory_writer(void* buffer, size_t capacity) : buffer_(static_cast<uint8_t*>(buffer)), capacity_(capacity) {}
    void write(const void* data, size_t size) override;
    size_t written() const { return written_; }

private:
    uint8_t* buffer_;
    size_t capacity_;
    size_t written_ = 0;
};

// Results of EditBootmgrXsl besides 0 (edited).
constexpr int kBootmgrXslBadDocument = -1;  // the buffer is not a well-formed document
constexpr int kBootmgrXslNoNode = -2;       // a node to rewrite is missing
constexpr int kBootmgrXslBadPlatform = -3;  // platform other than 2 (EFI32) or 3 (EFI64)
constexpr int kBootmgrXslBadArgument = -4;  // style other than 1 or 2, or no buffer

// Edits the style sheet in buffer (length bytes, any encoding the parser detects) for
// style 1 (line of 78, titles of at most 76 characters) or 2 (79, at most 77; longer
// titles are cut) and platform 2 or 3. On success the buffer holds the new document as
// UTF-16 text followed by two zero bytes, and length its byte count without them.
int EditBootmgrXsl(std::vector<uint8_t>& buffer, uint32_t& length, int style, const char* title, int platform);

// Reads the BOOTMGR.XSL resource (type 23, language 1033 preferred) of a boot manager
// file ('/' or '\' separators). Without a buffer only the size is reported in length.
// 0 read (length set); -1 the file is missing; -2 it is not readable and writable; -3 not
// a PE image with a sound resource tree; -4 no BOOTMGR.XSL; -5 the resource is empty;
// -6 neither buffer nor length given; -7 the buffer (capacity length) is too small
// (length set to 0).
int ReadBootmgrXsl(const char* file, uint8_t* buffer, uint32_t* length);

// Replaces BOOTMGR.XSL (language 1033) with data and removes the ("MUI", 1) resource.
// The new image is written to a temporary file beside the original and renamed over it,
// so a failure leaves the file as it was. 0 done; -1, -2, -3 as above; -4 no BOOTMGR.XSL;
// -5 the resource section cannot be rewritten safely; -6 reserved (the MUI resource is
// removed in memory); -7 no data given; -8 the new file cannot be written or put in place.
int WriteBootmgrXsl(const char* file, const uint8_t* data, uint32_t size);
