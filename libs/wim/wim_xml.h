// The image descriptions of a WIM file's XML data.
#pragma once
#include <cstdint>

#include "libs/wim/wim_handler.h"
#include "libs/xml/xml_document.h"

// Cursor over the IMAGE children of the document's root element. For each IMAGE: name
// (UTF-8, stored when shorter than *capacityLength, else empty; *capacityLength receives
// its length), arch (WINDOWS/ARCH), major and minor (WINDOWS/VERSION/MAJOR, MINOR), each
// -1 when missing or not a decimal number of at most 9 characters. Every pointer may be
// null. Returns 0 when an IMAGE was read, -1 when none is left (the outputs are then
// emptied). The document stays the caller's.
int WimXmlFirstImageInfo(nimbo::XmlDocument* document, char* name, uint32_t* capacityLength, int* arch, int* major,
                         int* minor);
int WimXmlNextImageInfo(nimbo::XmlDocument* document, char* name, uint32_t* capacityLength, int* arch, int* major,
                        int* minor);

namespace NArchive::NWim {

// Rewrites the XML of a file opened for update with the counters of its modified images
// and writes it at xmlOffset of the output; xmlLength receives its length in bytes.
// Missing TOTALBYTES, DIRCOUNT, FILECOUNT and LASTMODIFICATIONTIME elements are created.
Status WimUpdate_RewriteXml(CHandler& handler, int outFd, uint64_t xmlOffset, uint64_t& xmlLength);

}  // namespace NArchive::NWim
