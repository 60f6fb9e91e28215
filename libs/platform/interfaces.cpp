#include "libs/platform/interfaces.h"

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

std::vector<InterfaceAddress> ListInterfaceAddresses() {
    std::vector<InterfaceAddress> out;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return out;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        InterfaceAddress a;
        a.name = i->ifa_name;
        a.ifindex = static_cast<int>(if_nametoindex(i->ifa_name));
        a.addr = reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr;
        if (i->ifa_netmask) a.mask = reinterpret_cast<sockaddr_in*>(i->ifa_netmask)->sin_addr;
        a.up = (i->ifa_flags & IFF_UP) != 0;
        a.loopback = (i->ifa_flags & IFF_LOOPBACK) != 0;
        out.push_back(a);
    }
    freeifaddrs(list);
    return out;
}

std::vector<std::array<uint8_t, 6>> ListLocalMacs() {
    std::vector<std::array<uint8_t, 6>> out;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return out;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_PACKET) continue;
        auto* ll = reinterpret_cast<sockaddr_ll*>(i->ifa_addr);
        if (ll->sll_halen != 6) continue;
        std::array<uint8_t, 6> mac;
        memcpy(mac.data(), ll->sll_addr, 6);
        bool zero = true;
        for (uint8_t b : mac) zero = zero && b == 0;
        if (!zero) out.push_back(mac);
    }
    freeifaddrs(list);
    return out;
}

int InterfaceOfAddress(in_addr a, std::string* name) {
    for (const auto& i : ListInterfaceAddresses()) {
        if (i.addr.s_addr == a.s_addr) {
            if (name) *name = i.name;
            return i.ifindex;
        }
    }
    return 0;
}

AddressWatch::AddressWatch() : fd_(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE)) {
    if (fd_ < 0) return;
    sockaddr_nl sa{};
    sa.nl_family = AF_NETLINK;
    sa.nl_groups = RTMGRP_IPV4_IFADDR | RTMGRP_LINK;  // an interface going up or down changes the list too
    if (bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        close(fd_);
        fd_ = -1;
    }
}

AddressWatch::~AddressWatch() {
    if (fd_ >= 0) close(fd_);
}

bool AddressWatch::Drain() {
    bool changed = false;
    alignas(nlmsghdr) char buf[8192];
    for (;;) {
        ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) break;
        for (nlmsghdr* h = reinterpret_cast<nlmsghdr*>(buf); NLMSG_OK(h, static_cast<unsigned>(n));
             h = NLMSG_NEXT(h, n)) {
            if (h->nlmsg_type == RTM_NEWADDR || h->nlmsg_type == RTM_DELADDR || h->nlmsg_type == RTM_NEWLINK ||
                h->nlmsg_type == RTM_DELLINK)
                changed = true;
        }
    }
    return changed;
}
