// Console-link requests on the service side: any frame the desktop could send. Requests that
// stop or restart the services are left out (they end the process's threads by design).
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "to_console.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static int sink = [] {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv) != 0) return -1;
        return sv[0];  // replies go into a socket nobody reads; a full buffer fails the send
    }();
    if (size < 4 || size > 70000) return 0;
    uint32_t id;
    memcpy(&id, data, 4);
    if (id == 203 || id == 204 || id == 205) return 0;
    std::vector<uint8_t> frame(data, data + size);
    HandleConsoleRequest(sink, frame.data(), frame.size());
    return 0;
}
