// The host's network interfaces and a watch on address changes.
#pragma once
#include <array>
#include <cstdint>
#include <netinet/in.h>
#include <string>
#include <vector>

struct InterfaceAddress {
    std::string name;
    int ifindex = 0;
    in_addr addr{};
    in_addr mask{};
    bool up = false;
    bool loopback = false;
};
// IPv4 addresses of every interface, in the system's order.
std::vector<InterfaceAddress> ListInterfaceAddresses();
// Hardware addresses of the host's interfaces.
std::vector<std::array<uint8_t, 6>> ListLocalMacs();
// Interface that holds an address (0 when none); its name into *name.
int InterfaceOfAddress(in_addr a, std::string* name);

// A netlink socket that becomes readable when an IPv4 address is added or removed.
class AddressWatch {
public:
    AddressWatch();
    ~AddressWatch();
    AddressWatch(const AddressWatch&) = delete;
    AddressWatch& operator=(const AddressWatch&) = delete;
    int fd() const { return fd_; }
    // Reads pending messages; true when at least one address change was seen.
    bool Drain();

private:
    int fd_;
};
