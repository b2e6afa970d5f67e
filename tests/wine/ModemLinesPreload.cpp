// Loaded into Wine (LD_PRELOAD) by the test harness: answers the modem-line
// requests TIOCMGET, TIOCMSET, TIOCMBIS and TIOCMBIC on descriptors that
// have no modem lines (pseudo-terminals), keeping the lines that were set.
// Wine's wait for line events gives up on a device whose lines it cannot
// read; with this, it waits on a pseudo-terminal as on a serial port.
// Built for Linux by the host's compiler.

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <dlfcn.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>

namespace {

constexpr int kDescriptors = 4096;
std::atomic<int> gLines[kDescriptors];

using TIoctl = int (*)(int, unsigned long, ...);

TIoctl RealIoctl() {
    static const TIoctl real = reinterpret_cast<TIoctl>(dlsym(RTLD_NEXT, "ioctl"));
    return real;
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    const int rc = RealIoctl()(fd, request, arg);
    const bool modemRequest =
        request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC;
    if (rc == 0 || !modemRequest || fd < 0 || fd >= kDescriptors ||
        (errno != ENOTTY && errno != EINVAL)) {
        return rc;
    }
    int* bits = static_cast<int*>(arg);
    switch (request) {
        case TIOCMGET:
            *bits = gLines[fd].load();
            break;
        case TIOCMSET:
            gLines[fd].store(*bits);
            break;
        case TIOCMBIS:
            gLines[fd].fetch_or(*bits);
            break;
        default:
            gLines[fd].fetch_and(~*bits);
            break;
    }
    errno = 0;
    return 0;
}
