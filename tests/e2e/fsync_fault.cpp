// Preloaded into ktr6ctl by the signal tests (LD_PRELOAD): the record's
// files reach the disk through fsync, which this wraps, so that a stop can
// arrive while the disk works. KTR6_FSYNC_FAULT=stop: the first fsync of a
// temporary record file ("*.part") raises SIGTERM before it flushes;
// stop-fail: that one and every later one also fail with EIO.

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <unistd.h>

namespace {

bool isTemporaryFile(int fd) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[PATH_MAX];
    const ssize_t n = ::readlink(link, target, sizeof target);
    return n > 5 && std::memcmp(target + n - 5, ".part", 5) == 0;
}

} // namespace

extern "C" int fsync(int fd) {
    using Fsync = int (*)(int);
    static const auto real = reinterpret_cast<Fsync>(::dlsym(RTLD_NEXT, "fsync"));
    static bool raised = false;
    const char* fault = std::getenv("KTR6_FSYNC_FAULT");
    if (!fault || !isTemporaryFile(fd))
        return real(fd);
    if (!raised) {
        raised = true;
        std::raise(SIGTERM);
    }
    if (std::strcmp(fault, "stop-fail") == 0) {
        errno = EIO;
        return -1;
    }
    return real(fd);
}
