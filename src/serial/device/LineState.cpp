#include "LineState.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace corvane::device {

TTerminalIoctl DescriptorIoctl(int fd) {
    return [fd](unsigned long request, void* arg) {
        return ::ioctl(fd, request, arg) == 0 ? 0 : errno;
    };
}

TLineState::TLineState() : FSettings(std::make_unique<termios2>()) {}

TLineState::~TLineState() = default;

void TLineState::Save(const TTerminalIoctl& ioctl) {
    FHasSettings = ioctl(TCGETS2, FSettings.get()) == 0;
    serial_struct info{};
    FHasSerialFlags = ioctl(TIOCGSERIAL, &info) == 0;
    FSerialFlags = FHasSerialFlags ? info.flags : 0;
    FLowLatencySet = false;
}

bool TLineState::RequestLowLatency(const TTerminalIoctl& ioctl) {
    if (!FHasSerialFlags) return false;
    if ((FSerialFlags & ASYNC_LOW_LATENCY) != 0) return true;
    // The driver's other fields go back as they are, so that only the flag changes.
    serial_struct info{};
    if (ioctl(TIOCGSERIAL, &info) != 0) return false;
    info.flags |= ASYNC_LOW_LATENCY;
    FLowLatencySet = ioctl(TIOCSSERIAL, &info) == 0;
    return FLowLatencySet;
}

void TLineState::Restore(const TTerminalIoctl& ioctl) {
    if (FHasSettings) (void)ioctl(TCSETS2, FSettings.get());
    if (FLowLatencySet) {
        serial_struct info{};
        if (ioctl(TIOCGSERIAL, &info) == 0) {
            info.flags = (info.flags & ~ASYNC_LOW_LATENCY) | (FSerialFlags & ASYNC_LOW_LATENCY);
            (void)ioctl(TIOCSSERIAL, &info);
        }
    }
    FHasSettings = false;
    FHasSerialFlags = false;
    FLowLatencySet = false;
}

}  // namespace corvane::device
