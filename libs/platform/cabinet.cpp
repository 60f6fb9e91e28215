#include "libs/platform/cabinet.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mspack.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "libs/platform/atomic_file.h"
#include "libs/platform/clock.h"

namespace {

char Upper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 32) : c; }

bool EqualNoCase(const char* a, const std::string& b) {
    size_t n = std::strlen(a);
    if (n != b.size()) return false;
    for (size_t i = 0; i < n; ++i)
        if (Upper(a[i]) != Upper(b[i])) return false;
    return true;
}

// Files of the decompressor: plain descriptors opened close-on-exec.
struct CabFile {
    int fd;
};

mspack_file* SysOpen(mspack_system*, const char* name, int mode) {
    int flags = O_CLOEXEC;
    switch (mode) {
        case MSPACK_SYS_OPEN_READ: flags |= O_RDONLY; break;
        case MSPACK_SYS_OPEN_WRITE: flags |= O_WRONLY | O_CREAT | O_TRUNC; break;
        case MSPACK_SYS_OPEN_UPDATE: flags |= O_RDWR; break;
        case MSPACK_SYS_OPEN_APPEND: flags |= O_WRONLY | O_APPEND; break;
        default: return nullptr;
    }
    int fd = ::open(name, flags | O_NONBLOCK, 0644);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return reinterpret_cast<mspack_file*>(new CabFile{fd});
}

void SysClose(mspack_file* f) {
    if (!f) return;
    CabFile* cf = reinterpret_cast<CabFile*>(f);
    ::close(cf->fd);
    delete cf;
}

// Reads or writes the whole count unless the file ends (read) or fails; -1 on an error.
template <typename Io>
int TransferAll(mspack_file* f, void* buffer, int bytes, Io io, bool stopAtEnd) {
    if (bytes < 0) return -1;
    int fd = reinterpret_cast<CabFile*>(f)->fd;
    size_t done = 0;
    while (done < size_t(bytes)) {
        ssize_t n = io(fd, static_cast<char*>(buffer) + done, size_t(bytes) - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || (n == 0 && !stopAtEnd)) return -1;
        if (n == 0) break;
        done += size_t(n);
    }
    return int(done);
}

int SysRead(mspack_file* f, void* buffer, int bytes) { return TransferAll(f, buffer, bytes, ::read, true); }
int SysWrite(mspack_file* f, void* buffer, int bytes) {
    return TransferAll(
        f, buffer, bytes, [](int fd, const void* p, size_t n) { return ::write(fd, p, n); }, false);
}

int SysSeek(mspack_file* f, off_t offset, int mode) {
    int whence = mode == MSPACK_SYS_SEEK_START ? SEEK_SET : mode == MSPACK_SYS_SEEK_CUR ? SEEK_CUR : SEEK_END;
    return ::lseek(reinterpret_cast<CabFile*>(f)->fd, offset, whence) < 0 ? -1 : 0;
}

off_t SysTell(mspack_file* f) { return ::lseek(reinterpret_cast<CabFile*>(f)->fd, 0, SEEK_CUR); }

void SysMessage(mspack_file*, const char*, ...) {}
void* SysAlloc(mspack_system*, size_t bytes) { return std::malloc(bytes); }
void SysFree(void* p) { std::free(p); }
void SysCopy(void* src, void* dst, size_t bytes) { std::memmove(dst, src, bytes); }

mspack_system g_system = {SysOpen,    SysClose, SysRead, SysWrite, SysSeek, SysTell,
                          SysMessage, SysAlloc, SysFree, SysCopy,  nullptr};

// The member's DOS date and time as local time.
time_t MemberTime(const mscabd_file* f) {
    struct tm t {};
    t.tm_year = f->date_y - 1900;
    t.tm_mon = f->date_m - 1;
    t.tm_mday = f->date_d;
    t.tm_hour = f->time_h;
    t.tm_min = f->time_m;
    t.tm_sec = f->time_s;
    t.tm_isdst = -1;
    return LocalMakeTime(&t);
}

}  // namespace

struct CabContext {
    mscab_decompressor* cab = nullptr;
};

CabContext* CabCreateContext() {
    int selftest = 0;
    MSPACK_SYS_SELFTEST(selftest);
    if (selftest != MSPACK_ERR_OK) return nullptr;
    mscab_decompressor* cab = mspack_create_cab_decompressor(&g_system);
    if (!cab) return nullptr;
    return new CabContext{cab};
}

int CabDestroyContext(CabContext* context) {
    if (!context) return 0;
    mspack_destroy_cab_decompressor(context->cab);
    delete context;
    return 1;
}

bool CabExtractFile(CabContext* context, CabRequest* request) {
    request->done = false;
    if (!context || !context->cab || request->target.empty()) return false;
    mscab_decompressor* cab = context->cab;
    mscabd_cabinet* cabinet = cab->open(cab, request->cabinet.c_str());
    if (!cabinet) return false;
    mscabd_file* member = nullptr;
    for (mscabd_file* f = cabinet->files; f; f = f->next)
        if (f->filename && EqualNoCase(f->filename, request->member)) {
            member = f;
            break;
        }
    bool ok = false;
    if (member) {
        // A temporary beside the target: a failed extraction never leaves a cut file.
        AtomicFile file;
        if (file.Open(request->target, 0644)) {
            ok = cab->extract(cab, member, file.TempPath().c_str()) == MSPACK_ERR_OK;
            time_t when = MemberTime(member);
            if (ok && when != time_t(-1)) {
                struct timespec times[2] = {{when, 0}, {when, 0}};
                ::futimens(file.fd(), times);
            }
            ok = ok && file.Commit();
        }
    }
    cab->close(cab, cabinet);
    request->done = ok;
    return ok;
}
