#pragma once

#include <functional>
#include <memory>

struct termios2;

// What a port was like before it was opened, so that closing gives it back
// as it was found: the terminal's line settings, and the driver's low-latency
// flag, which opening asks for (a USB serial adapter otherwise holds each
// byte it receives for its latency period, 16 ms for many).
namespace corvane::device {

// How the helper reaches the terminal: one ioctl with its request and
// argument, giving 0 or the system error number.
using TTerminalIoctl = std::function<int(unsigned long request, void* arg)>;

// The ioctl of a descriptor.
TTerminalIoctl DescriptorIoctl(int fd);

class TLineState {
public:
    TLineState();
    ~TLineState();
    TLineState(const TLineState&) = delete;
    TLineState& operator=(const TLineState&) = delete;

    // Reads the line settings and the driver's serial flags (a driver
    // without them, such as a pseudo-terminal's, has nothing to keep).
    void Save(const TTerminalIoctl& ioctl);
    // Sets the low-latency flag if the driver has it and it is off. A
    // driver that refuses keeps its mode; opening goes on all the same.
    // Returns whether the flag is on now.
    bool RequestLowLatency(const TTerminalIoctl& ioctl);
    // Gives back what Save() found: the line settings, and the low-latency
    // flag when RequestLowLatency() changed it. A device that no longer
    // answers is left as it is. Forgets the saved state.
    void Restore(const TTerminalIoctl& ioctl);

    bool HasSettings() const { return FHasSettings; }

private:
    std::unique_ptr<termios2> FSettings;
    bool FHasSettings = false;
    bool FHasSerialFlags = false;
    int FSerialFlags = 0;
    bool FLowLatencySet = false;
};

}  // namespace corvane::device
