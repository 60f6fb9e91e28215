// Console-link requests on the service side: any frame the desktop could send. Requests that
// stop or restart the services are left out (they end the process's threads by design).
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "_services/to_console.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Replies go into a socket drained after every input, as the desktop would read them.
    static int pair[2] = {-1, -1};
    static const bool made = socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) == 0;
    if (!made) return 0;
    const int sink = pair[0];
    if (size < 4 || size > 70000) return 0;
    uint32_t id;
    memcpy(&id, data, 4);
    if (id == 203 || id == 204 || id == 205) return 0;
    std::vector<uint8_t> frame(data, data + size);
    HandleConsoleRequest(sink, frame.data(), frame.size());
    static char drain[65536];
    while (read(pair[1], drain, sizeof drain) > 0) {}
    return 0;
}
