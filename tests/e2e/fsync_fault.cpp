// Preloaded into ktr6ctl by the signal tests: KTR6_FSYNC_FAULT=stop raises
// SIGTERM in the first fsync of a temporary record file ("*.part"), as a
// Ctrl+C while the disk works; stop-fail also fails each such fsync (EIO).

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dlfcn.h>
#include <string>
#include <unistd.h>

extern "C" int fsync(int fd) {
    static const auto real = reinterpret_cast<int (*)(int)>(::dlsym(RTLD_NEXT, "fsync"));
    static bool raised = false;
    const char* fault = std::getenv("KTR6_FSYNC_FAULT");
    char target[4096];
    const ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, 4096);
    if (!fault || n < 0 || !std::string(target, size_t(n)).ends_with(".part"))
        return real(fd);
    if (!raised) {
        raised = true;
        std::raise(SIGTERM);
    }
    if (std::string(fault) != "stop-fail")
        return real(fd);
    errno = EIO;
    return -1;
}
