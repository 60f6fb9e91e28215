// The read-me files of WDS assets.
#include "_services/binl/wds_assets.h"

#include "_services/binl/binl_texts.h"

namespace {
std::string Readme(const char* body) { return Crlf(ReadmeBanner()) + Crlf(body); }
}  // namespace

const std::string& WdsReadmeText() {
    static const std::string text = Readme(R"(
                          Repository Structure
                          --------------------

1. What belongs here
   WIA_WDS holds Windows installation sources of the image-based
   generation (Vista and later, x86, x64, ARM and ARM64), installed over
   the network from Windows PE.

2. One head folder per distribution
   Copy the whole content of each installation medium into a head folder
   of its own directly below WIA_WDS. Head folder names must hold no
   blanks and no non-ASCII characters. A head folder is taken when it
   holds boot\boot.sdi, sources\boot.wim and sources\install.wim (or
   sources\install.esd).

   Example tree:
      <TFTP root>\WIA_WDS\
         NimboReadme.txt
         Unattend.ini
         W11_x64\
            boot\boot.sdi
            sources\boot.wim
            sources\install.wim
            $OEM$\

   Head folders whose names begin with "off_" are ignored.

3. Sharing
   Share the WIA_WDS folder as WIA_WDS_SHARE. Windows PE on the client
   logs on to it with a user that may read it; user name and password
   must not be empty.

4. Automatic logon
   The logon can be automated by WIA_WDS\Unattend.ini:
      [windowsPE-Setup-Login-Credentials]
      Domain=
      Username=
      Password=
)");
    return text;
}

const std::string& WdsOemHelpText() {
    static const std::string text = Readme(R"(
                               HELP INDEX
                               ----------

   $OEM$\$Boot$\$1\NimboReadme.txt                   how a client boots
   $OEM$\$Boot$\$1\$WinPEDriver$\NIC\NimboReadme.txt  OEM network drivers
   sources\$OEM$\NimboReadme.txt                      customized installs
)");
    return text;
}

const std::string& WdsBootReadmeText() {
    static const std::string text = Readme(R"(
                          How a client boots
                          ------------------

1. The client loads the boot manager and the BCD store over TFTP, then
   NimboBoot.wim, the asset's private Windows PE boot image, into a RAM
   disk.
2. Windows PE loads the OEM network drivers of $WinPEDriver$\NIC.
3. WIA_WDS_SHARE is mapped and setup starts from the install image of
   this asset on the share.
4. Optional components of the asset are installed by setup.

The content of this folder is added to NimboBoot.wim and appears at X:\
in Windows PE.
)");
    return text;
}

const std::string& WdsNicReadmeText() {
    static const std::string text = Readme(R"(
                            OEM WDS Drivers
                            ---------------

Put the files of OEM network drivers (INF, SYS, CAT) directly into this
folder; sub-folders are not looked at. They are added to NimboBoot.wim
off-line and loaded once Windows PE has started. Unsigned drivers are
accepted.
)");
    return text;
}

const std::string& WdsSourcesOemReadmeText() {
    static const std::string text = Readme(R"(
                        Customized WDS Installs
                        -----------------------

After setup the content of these folders is copied to the installed
system:
   $1       the system drive
   $$       the Windows folder
   $progs   the program-files folder
   $docs    the users folder
)");
    return text;
}
