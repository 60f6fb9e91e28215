// The read-me files of RIS assets.
#include "_services/binl/ris_assets.h"

#include "_services/binl/binl_texts.h"

const std::string& RisReadmeText() {
    static const std::string text = Crlf(ReadmeBanner()) + Crlf(R"(
                          Repository Structure
                          --------------------

1. What belongs here
   WIA_RIS holds Windows installation sources of the RIS generation:
   Windows 2000, XP and Server 2003 (32-bit and 64-bit), installed over
   the network by text-mode setup.

2. One head folder per distribution
   Copy the whole content of each distribution's CD into a head folder
   of its own directly below WIA_RIS. Head folder names must hold no
   blanks and no non-ASCII characters.

   64-bit media: copy the content of the AMD64 folder into I386 as well
   (merge the LANG folders); the AMD64 folder may then be replaced by a
   junction (link) to I386.

   Example tree:
      <TFTP root>\WIA_RIS\
         NimboReadme.txt
         XP_32\
            I386\
            $OEM$\$1\Drivers\NIC\
         W2K3_64\
            AMD64\
            I386\
         off_XP_OLD\            <- ignored

3. Switching a distribution off
   Head folders whose names begin with "off_" are ignored, and so are
   their menu entries.

4. Network share
   Setup reads the distribution over the network: share the TFTP root
   as WIA_RIS_SHARE, reachable without logon (guest, read only). Such a
   share exposes the WIA_WDS content too, unless its permissions are
   changed to deny it.
)");
    return text;
}

const std::string& RisOemReadmeText() {
    static const std::string text = Crlf(ReadmeBanner()) + Crlf(R"(
                            OEM RIS Drivers
                            ---------------

1. Adding network drivers
   Put the network drivers that the distribution lacks into this
   folder: the INF file, the driver file and the catalogue file of each
   driver, all side by side, without sub-folders.

2. Names per system
   Drivers often carry one driver file per operating system; copy the
   one that fits this distribution, and edit the INF file when the name
   it copies differs from the file you keep.

3. Signatures
   Drivers without a valid signature make setup show a warning.

4. What setup does with them
   Text-mode setup uses the drivers of this folder first, and the
   installed system gets them afterwards from \Drivers\NIC.
)");
    return text;
}
