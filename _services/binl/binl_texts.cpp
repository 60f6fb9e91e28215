#include "_services/binl/binl_texts.h"

std::string Crlf(const char* text) {
    std::string out;
    for (const char* p = text; *p; ++p) {
        if (*p == '\n') out += '\r';
        out += *p;
    }
    return out;
}

const char* ReadmeBanner() {
    return R"(=======================================================================
 Nimbo v4.6.0 - multi-OS network boot and install server, Nimbo team
 https://nimbo.example.org/                                 2014-2026
=======================================================================
)";
}

const std::string& F1HelpScreen() {
    static const std::string text =
        "\x19\x0c"  // text mode, clear screen
        // colour switches: 0x0F and two hexadecimal digits (background, foreground)
        "\x0f"
        "09F1             \x0f"
        "0fWelcome to Nimbo's multi-OS PXE Boot/Install Menu\x0f"
        "07              \r\n"
        "\r\n"
        "  This menu is generated and maintained automatically by \x0f"
        "0eNimbo\x0f"
        "07's PXE server.\r\n"
        "  It boots and installs several Windows and Linux systems and tools over the\r\n"
        "  network, and it can be customised to your needs.\r\n"
        "\r\n"
        "\r\n"
        "  More information at \x0f"
        "0fhttps://nimbo.example.org/\x0f"
        "07\r\n"
        "\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n"
        "  Press ESC to return to the boot/install menu";
    return text;
}

const std::string& NwaReadmeText() {
    static const std::string text = Crlf(ReadmeBanner()) + Crlf(R"(
                          Repository Structure
                          --------------------

1. What belongs here
   NWA_PXE holds Non-Windows Assets: any system or tool that a PXE menu
   can start with a kernel and an append line - Linux, BSD and Android
   installers and live systems, hypervisors, recovery tools, DOS images.

2. One head folder per system
   Copy every system into a head folder of its own directly below
   NWA_PXE, and put an asset description NimboAsset.inf in it.
   Head folder names must hold no blanks and no non-ASCII characters.
   The description must be plain ASCII text.

   Example tree:
      <TFTP root>\NWA_PXE\
         NimboReadme.txt
         LiveLinux\
            NimboAsset.inf
            live\vmlinuz
            live\initrd
         off_OldTool\            <- ignored
            NimboAsset.inf

   Head folders whose names begin with "off_" are switched off: they are
   ignored, and so are their menu entries. An asset present both as X and
   as off_X stops the menu preparation until one of them is renamed.

3. The asset description NimboAsset.inf
   Section [PXENIMBO_MENU_ENTRY] describes the menu entry:
      asset        menu title of the asset (at most 70 characters)
      platform     platform text shown in the menu (at most 24 characters)
      kernel_BIOS, append_BIOS, ipappend_BIOS      entry of BIOS clients
      kernel_efi32, append_efi32, ipappend_efi32   entry of 32-bit UEFI clients
      kernel_efi64, append_efi64, ipappend_efi64   entry of 64-bit UEFI clients
   At least one kernel/append pair is required; ipappend is optional.
   Begin paths with "::" to name them from the TFTP root (without it the
   boot program looks for them beside itself, in BM\PXENIMBO\<platform>).

   Example, a Linux live system booted over an SMB share:
      [PXENIMBO_MENU_ENTRY]
      asset        = Live Linux 64-bit (SMB)
      platform     = x64
      kernel_BIOS  = ::NWA_PXE/$HEAD_DIR$/live/vmlinuz
      append_BIOS  = initrd=::NWA_PXE/$HEAD_DIR$/live/initrd boot=live netboot=cifs nfsroot=//$COMP_NAME$/NWA_PXE_SHARE/$HEAD_DIR$ NFSOPTS=-ouser=nimbo,pwd=kelpo,vers=1.0 ip=dhcp
      kernel_efi64 = ::NWA_PXE/$HEAD_DIR$/live/vmlinuz
      append_efi64 = initrd=::NWA_PXE/$HEAD_DIR$/live/initrd boot=live netboot=cifs nfsroot=//$COMP_NAME$/NWA_PXE_SHARE/$HEAD_DIR$ NFSOPTS=-ouser=nimbo,pwd=kelpo,vers=1.0 ip=dhcp

4. Tokens
   These tokens are replaced in kernel and append values:
      $COMP_NAME$   the server's computer name
      $HEAD_DIR$    the name of the asset's head folder
   These stay in the menu files; Nimbo's TFTP server fills them in for
   each client when it sends a menu file (pxenimbo.cfg\menu.def):
      $IP_CLNT$     the client's address
      $IP_BSRV$     the boot server's address (the one the client reached)
      $IP_GWAY$     the client's gateway (DHCP settings; else 0.0.0.0)
      $IP_MASK$     the client's subnet mask (DHCP settings; else the
                    mask of the server's interface)
   Example: append_BIOS = ... ip=$IP_CLNT$:$IP_BSRV$:$IP_GWAY$:$IP_MASK$::eth0:off

5. Shares and HTTP
   Some systems read their files over the network after the kernel has
   started: share NWA_PXE as NWA_PXE_SHARE (read access for the user
   named in the append line), or let Nimbo's HTTP server serve them.
)");
    return text;
}
