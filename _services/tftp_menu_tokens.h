// Address tokens of the PXE menu files. The boot programs that read the menus leave
// "$IP_CLNT$", "$IP_BSRV$", "$IP_GWAY$" and "$IP_MASK$" as they stand, so the TFTP server
// fills them in for the client it sends a menu file to.
#pragma once
#include <cstdint>
#include <string>

struct MenuTokenAddresses {
    uint32_t client = 0;   // $IP_CLNT$: the client's address
    uint32_t server = 0;   // $IP_BSRV$: the local address the client's request reached
    uint32_t gateway = 0;  // $IP_GWAY$: the client's gateway (0.0.0.0 when none is known)
    uint32_t mask = 0;     // $IP_MASK$: the client's subnet mask
};                         // addresses in network byte order

// Menu files are bigger than this only by mistake; such a file is sent as stored.
constexpr uint64_t kTftpMenuFileLimit = 1u << 20;

// Whether a path relative to the root names a file of a menu folder: one of its folders is
// "pxenimbo.cfg" (without case). Both separators are accepted.
bool TftpIsMenuFile(const std::string& relative);

// The text with every address token (found without case) replaced by the dotted address;
// everything else, line ends and other "$...$" texts included, stays as it is.
std::string FillMenuAddressTokens(const std::string& text, const MenuTokenAddresses& addresses);

// The first address of a DHCP address-list option (code, length, addresses), else 0.
uint32_t FirstOptionAddress(const uint8_t* option, size_t size);
