#include "libs/platform/file_read.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {
template <class Buffer>
FileRead ReadInto(const std::string& path, Buffer* out, int* err) {
    out->clear();
    // O_NONBLOCK: a FIFO must not block the open; it is refused below.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (err) *err = errno;
        return FileRead::OpenFailed;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        if (err) *err = EINVAL;
        return FileRead::OpenFailed;
    }
    out->resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (got < out->size()) {
        ssize_t n = ::read(fd, out->data() + got, out->size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    if (got != out->size()) {
        out->clear();
        if (err) *err = EINVAL;
        return FileRead::ReadFailed;
    }
    if (err) *err = 0;
    return FileRead::Ok;
}
}  // namespace

FileRead ReadRegularFile(const std::string& path, std::vector<uint8_t>* out, int* err) {
    return ReadInto(path, out, err);
}

FileRead ReadRegularFile(const std::string& path, std::string* out, int* err) { return ReadInto(path, out, err); }
