// The device layer for the serial devices and pseudo-terminals of Linux.
//
// termios2 (for any bit rate) comes from the kernel's own header, so this
// file uses ioctl throughout and never includes <termios.h>.

#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>

#include "ComDevice.h"
#include "LineState.h"
#include "ModemLineWait.h"
#include "RxFilter.h"

namespace corvane::device {

// ---------------------------------------------------------------------------
// TStopSignal

// An eventfd, readable once set.
TStopSignal::TStopSignal() : FWaitable(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (FWaitable < 0) FError = errno;
}

TStopSignal::~TStopSignal() {
    if (FWaitable >= 0) close(static_cast<int>(FWaitable));
}

void TStopSignal::Set() {
    FSet.store(true);
    std::uint64_t one = 1;
    if (FWaitable >= 0) (void)!write(static_cast<int>(FWaitable), &one, sizeof one);
}

bool TStopSignal::IsSet() const {
    return FSet.load();
}

// ---------------------------------------------------------------------------

std::string DevicePath(const std::string& portName) {
    if (!portName.empty() && portName[0] == '/') return portName;
    return "/dev/" + portName;
}

TErrorKind ErrorKind(int error) {
    switch (error) {
        case EBUSY:
            return TErrorKind::Busy;
        case ENOENT:
            return TErrorKind::Absent;
        case EACCES:
        case EPERM:
            return TErrorKind::NoPermission;
        case ECANCELED:
            return TErrorKind::Cancelled;
        case EIO:
        case ENXIO:
        case ENODEV:
            return TErrorKind::Gone;
        default:
            return TErrorKind::Other;
    }
}

namespace {

using Clock = std::chrono::steady_clock;

// Interval between two looks at the modem lines while events of theirs are
// watched, for a driver without the kernel's modem-status wait.
constexpr int kLinePollMs = 10;

// The input queue holds at least this much; beyond its size the bytes stay
// with the driver, whose own flow control then holds the far end back.
constexpr std::size_t kMinInQueue = 4096;

// Set in the arrivals for raw bytes read from the driver (a line error comes
// with a received byte), beside the EV_ bits of what was queued.
constexpr std::uint32_t kArrivedRaw = 0x80000000u;

bool NoModemLines(int err) {
    return err == ENOTTY || err == EINVAL;
}

int ErrnoOr(int fallback) {
    return errno != 0 ? errno : fallback;
}

// An eventfd that, once signalled, stays readable.
struct TAbortEvent {
    int Fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    int Error = Fd < 0 ? errno : 0;
    ~TAbortEvent() {
        if (Fd >= 0) close(Fd);
    }
    void Signal() const {
        std::uint64_t one = 1;
        (void)!write(Fd, &one, sizeof one);
    }
};

class TPosixComDevice final : public IComDevice {
public:
    TPosixComDevice() = default;
    ~TPosixComDevice() override {
        Close();
        if (FKickFd >= 0) close(FKickFd);
        if (FRxReadyFd >= 0) close(FRxReadyFd);
    }

    int Open(const std::string& path) override {
        if (FFd >= 0) return EBUSY;
        // The device's own signals, made once; an open without them fails.
        for (int* fd : {&FKickFd, &FRxReadyFd}) {
            if (*fd < 0) *fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
            if (*fd < 0) return errno;
        }
        // Only terminals: anything else is refused before it is opened, so a
        // planted map entry can never make us write into a file or a pipe.
        struct stat st {};
        if (stat(path.c_str(), &st) != 0) return errno;
        if (!S_ISCHR(st.st_mode)) return ENOTTY;
        int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return errno;
        auto fail = [fd](int err) {
            close(fd);
            return err;
        };
        if (!isatty(fd)) return fail(ENOTTY);
        // TIOCEXCL keeps other openers out, except root; the lock keeps out
        // every other opener that asks for it, root included.
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(errno == EWOULDBLOCK ? EBUSY : errno);
        if (ioctl(fd, TIOCEXCL) != 0) return fail(errno);
        // From here on a failure gives the terminal back to other openers.
        auto failExclusive = [&fail, fd](int err) {
            ioctl(fd, TIOCNXCL);
            return fail(err);
        };
        // The port is given back at close as it was found.
        FLineState.Save(DescriptorIoctl(fd));

        int ep = epoll_create1(EPOLL_CLOEXEC);
        if (ep < 0) return failExclusive(errno);
        // Edge-triggered: the monitor hears of data when it arrives, not for
        // as long as it waits unread.
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLET;
        ev.data.fd = fd;
        if (epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev) != 0) {
            int err = errno;
            close(ep);
            return failExclusive(err);
        }
        auto abort = std::make_shared<TAbortEvent>();
        if (abort->Fd < 0) {
            close(ep);
            return failExclusive(abort->Error);
        }
        FLineState.RequestLowLatency(DescriptorIoctl(fd));
        std::lock_guard lock(FMutex);
        FFd = fd;
        FEpoll = ep;
        FAbort = std::move(abort);
        FRx.clear();
        FFilter = TRxFilter{};
        FArrived = 0;
        FMonitorTold = false;
        FTimeouts = TCommTimeouts{};
        FInQueueSize = 0;
        FTxPending = false;
        FRx80Above = false;
        int lines = 0;
        FHasModemLines = ioctl(fd, TIOCMGET, &lines) == 0;
        FModemWaitTried = false;
        FLastLines = FHasModemLines ? lines : 0;
        serial_icounter_struct counts{};
        FHasCounters = ioctl(fd, TIOCGICOUNT, &counts) == 0;
        FClearCounts = counts;
        FEventCounts = counts;
        return 0;
    }

    bool IsOpen() const override { return FFd >= 0; }

    int Close() override {
        std::shared_ptr<TAbortEvent> abort;
        std::unique_ptr<TModemLineWait> modemWait;
        int fd, ep;
        {
            std::lock_guard lock(FMutex);
            if (FFd < 0) return EBADF;
            modemWait = std::move(FModemWait);
            fd = FFd;
            ep = FEpoll;
            FFd = -1;
            FEpoll = -1;
            abort = std::move(FAbort);
            FRx.clear();
        }
        if (abort) abort->Signal();
        modemWait.reset();  // its wait on the device ends before the device is closed
        FLineState.Restore(DescriptorIoctl(fd));
        ioctl(fd, TIOCNXCL);
        close(ep);
        if (close(fd) != 0) return errno;
        return 0;
    }

    int SetupComm(std::uint32_t inQueue, std::uint32_t /*outQueue*/) override {
        // The kernel's queues have fixed sizes; the input size still tells
        // when the queue counts as 80% full.
        if (FFd < 0) return EBADF;
        std::lock_guard lock(FMutex);
        FInQueueSize = inQueue;
        return 0;
    }

    int SetCommState(const TDcb& dcb) override {
        if (FFd < 0) return EBADF;
        if (dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > 4 || dcb.StopBits > 2 ||
            dcb.BaudRate == 0) {
            return EINVAL;
        }
        termios2 tio{};
        if (ioctl(FFd, TCGETS2, &tio) != 0) return errno;
        tio.c_iflag = 0;
        tio.c_oflag = 0;
        tio.c_lflag = 0;
        tio.c_cflag = CREAD | CLOCAL | BOTHER | (BOTHER << IBSHIFT);
        TRxFilter::TSettings filter;
        tio.c_ispeed = dcb.BaudRate;
        tio.c_ospeed = dcb.BaudRate;
        static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
        tio.c_cflag |= kSizes[dcb.ByteSize - 5];
        if (dcb.StopBits != 0) tio.c_cflag |= CSTOPB;  // 1.5 and 2 stop bits
        switch (dcb.Parity) {
            case 1:
                tio.c_cflag |= PARENB | PARODD;
                break;
            case 2:
                tio.c_cflag |= PARENB;
                break;
            case 3:
                tio.c_cflag |= PARENB | PARODD | CMSPAR;
                break;
            case 4:
                tio.c_cflag |= PARENB | CMSPAR;
                break;
            default:
                break;
        }
        // The driver marks the bytes it received with an error; the filter
        // takes the marks out and replaces those bytes when asked.
        if ((dcb.Flags & kDcbParity) != 0) {
            tio.c_iflag |= INPCK | PARMRK;
            filter.Marks = true;
            filter.ReplaceErrors = (dcb.Flags & kDcbErrorChar) != 0;
            filter.ErrorChar = dcb.ErrorChar;
        }
        filter.DiscardNull = (dcb.Flags & kDcbNull) != 0;
        filter.EventChar = dcb.EvtChar;
        if ((dcb.Flags & kDcbOutX) != 0) tio.c_iflag |= IXON;
        if ((dcb.Flags & kDcbInX) != 0) tio.c_iflag |= IXOFF;
        const std::uint32_t rts = dcb.Flags & kDcbRtsControlMask;
        if ((dcb.Flags & kDcbOutxCtsFlow) != 0 || rts == 0x2000) tio.c_cflag |= CRTSCTS;
        tio.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
        tio.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
        // With VMIN 1 an empty queue reads as EAGAIN (the descriptor does not
        // block), so a read of 0 bytes means the terminal has hung up.
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 0;
        if (ioctl(FFd, TCSETS2, &tio) != 0) return errno;
        {
            std::lock_guard lock(FMutex);
            FFilter.Configure(filter);
        }

        // DTR and RTS, where the device has them.
        const std::uint32_t dtr = dcb.Flags & kDcbDtrControlMask;
        int dtrBit = TIOCM_DTR;
        int rtsBit = TIOCM_RTS;
        if (ioctl(FFd, dtr != 0 ? TIOCMBIS : TIOCMBIC, &dtrBit) != 0 && !NoModemLines(errno)) {
            return errno;
        }
        if (rts != 0x2000 && ioctl(FFd, rts != 0 ? TIOCMBIS : TIOCMBIC, &rtsBit) != 0 &&
            !NoModemLines(errno)) {
            return errno;
        }
        return 0;
    }

    int SetCommTimeouts(const TCommTimeouts& timeouts) override {
        if (FFd < 0) return EBADF;
        std::lock_guard lock(FMutex);
        FTimeouts = timeouts;
        return 0;
    }

    int SetCommMask(std::uint32_t mask) override {
        if (FFd < 0) return EBADF;
        FMask.store(mask);
        Kick();
        return 0;
    }

    int WaitCommEvent(std::uint32_t& mask, const TStopSignal& stop) override {
        std::shared_ptr<TAbortEvent> abort;
        int ep;
        {
            std::lock_guard lock(FMutex);
            if (FFd < 0) return EBADF;
            abort = FAbort;
            ep = FEpoll;
        }
        for (;;) {
            if (stop.IsSet()) return ECANCELED;
            std::uint64_t drained;
            (void)!read(FKickFd, &drained, sizeof drained);
            const std::uint32_t watched = FMask.load();
            std::uint32_t fired = 0;
            bool lookAgain = false;
            if ((watched & kEvTxEmpty) != 0 && FTxPending.load()) {
                int outq = 0;
                if (ioctl(FFd, TIOCOUTQ, &outq) == 0 && outq == 0) {
                    FTxPending = false;
                    fired |= kEvTxEmpty;
                } else {
                    lookAgain = true;
                }
            }
            fired |= ModemLineEvents(watched, lookAgain);
            fired |= ArrivalEvents(watched);
            if (fired != 0) {
                mask = fired;
                return 0;
            }
            pollfd fds[4] = {{ep, POLLIN, 0},
                             {static_cast<int>(stop.Waitable()), POLLIN, 0},
                             {abort->Fd, POLLIN, 0},
                             {FKickFd, POLLIN, 0}};
            int rc = poll(fds, 4, lookAgain ? kLinePollMs : -1);
            if (rc < 0) {
                if (errno == EINTR) continue;
                return errno;
            }
            if (stop.IsSet()) return ECANCELED;
            if ((fds[2].revents & POLLIN) != 0) return ECANCELED;
            if ((fds[0].revents & POLLIN) != 0) {
                epoll_event ev[1];
                if (epoll_wait(ep, ev, 1, 0) == 1 && (ev[0].events & (EPOLLHUP | EPOLLERR)) != 0) {
                    // The device has gone: nothing more can arrive, so stop
                    // watching it and wait only for the stop.
                    epoll_ctl(ep, EPOLL_CTL_DEL, ev[0].data.fd, nullptr);
                }
            }
            // What arrived is taken in at the top of the loop.
        }
    }

    int PurgeComm(std::uint32_t flags) override {
        if (FFd < 0) return EBADF;
        // Any request on a device that has gone fails, as it does there.
        termios2 tio{};
        if (ioctl(FFd, TCGETS2, &tio) != 0) return errno;
        if ((flags & (kPurgeTxAbort | kPurgeRxAbort)) != 0) {
            // The next requests need a fresh abort event; without one nothing
            // is aborted and the purge fails.
            auto next = std::make_shared<TAbortEvent>();
            if (next->Fd < 0) return next->Error;
            std::shared_ptr<TAbortEvent> old;
            {
                std::lock_guard lock(FMutex);
                old = std::exchange(FAbort, std::move(next));
            }
            old->Signal();
        }
        if ((flags & kPurgeRxClear) != 0) {
            if (ioctl(FFd, TCFLSH, TCIFLUSH) != 0) return errno;
            std::lock_guard lock(FMutex);
            FRx.clear();
            FFilter.Reset();
            SyncRxReadyLocked();
        }
        if ((flags & kPurgeTxClear) != 0 && ioctl(FFd, TCFLSH, TCOFLUSH) != 0) return errno;
        return 0;
    }

    int ClearCommError(std::uint32_t& errors, TComStat& stat) override {
        return QueryQueuesAndErrors(errors, stat, true);
    }

    // A system call less after every read of a byte.
    int ClearCommErrorInQueue(std::uint32_t& errors, TComStat& stat) override {
        return QueryQueuesAndErrors(errors, stat, false);
    }

    int QueryQueuesAndErrors(std::uint32_t& errors, TComStat& stat, bool outQueue) {
        if (FFd < 0) return EBADF;
        int outq = 0;
        if (outQueue && ioctl(FFd, TIOCOUTQ, &outq) != 0) return errno;
        errors = 0;
        std::lock_guard lock(FMutex);
        std::uint32_t inq = 0;
        if (int err = InQueueLocked(inq)) return err;
        stat.cbInQue = inq;
        stat.cbOutQue = static_cast<std::uint32_t>(outq);
        if (FHasCounters) {
            serial_icounter_struct now{};
            if (ioctl(FFd, TIOCGICOUNT, &now) == 0) {
                if (now.frame != FClearCounts.frame) errors |= kCeFrame;
                if (now.parity != FClearCounts.parity) errors |= kCeRxParity;
                if (now.overrun != FClearCounts.overrun) errors |= kCeOverrun;
                if (now.brk != FClearCounts.brk) errors |= kCeBreak;
                if (now.buf_overrun != FClearCounts.buf_overrun) errors |= kCeRxOver;
                FClearCounts = now;
            }
        }
        return 0;
    }

    int GetCommModemStatus(std::uint32_t& status) override {
        if (FFd < 0) return EBADF;
        status = 0;
        int lines = 0;
        if (ioctl(FFd, TIOCMGET, &lines) != 0) {
            // A pseudo-terminal has no modem lines: it reports none.
            if (NoModemLines(errno)) return 0;
            return errno;
        }
        status = ModemStatus(lines);
        return 0;
    }

    int TransmitCommChar(char ch) override {
        if (FFd < 0) return EBADF;
        ssize_t n = write(FFd, &ch, 1);
        if (n != 1) return ErrnoOr(EIO);
        FTxPending = true;
        // Only a monitor that watches for the output queue running empty has
        // to look again; any other would be woken for nothing, once a byte.
        if ((FMask.load() & kEvTxEmpty) != 0) Kick();
        return 0;
    }

    int StartRead(TReadOp& op) override {
        {
            std::lock_guard lock(FMutex);
            if (FFd < 0) return EBADF;
            op.Timeouts = FTimeouts;
            op.DeviceState = FAbort;
        }
        op.Issued = true;
        op.Complete = false;
        op.Done = 0;
        op.Error = 0;
        op.Start = op.LastByte = Clock::now();
        int err = ReadAvailable(op);
        if (err != 0 && err != EAGAIN) {
            op.Complete = true;
            op.Error = err;
            return err;
        }
        const TCommTimeouts& t = op.Timeouts;
        const bool immediate = t.ReadIntervalTimeout == kMaxDword &&
                               t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
        if (op.Done == op.Count || immediate || (FirstByteEnds(t) && op.Done > 0)) {
            op.Complete = true;
        }
        return 0;
    }

    int CompleteRead(TReadOp& op) override {
        if (op.Complete) return op.Error;
        auto* abort = static_cast<TAbortEvent*>(op.DeviceState.get());
        const TCommTimeouts& t = op.Timeouts;
        const bool hasTotal = t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0;
        Clock::time_point total = Clock::time_point::max();
        if (FirstByteEnds(t)) {
            total = op.Start + std::chrono::milliseconds(t.ReadTotalTimeoutConstant);
        } else if (hasTotal) {
            const std::uint64_t ms =
                std::uint64_t{t.ReadTotalTimeoutMultiplier} * op.Count + t.ReadTotalTimeoutConstant;
            total = op.Start + std::chrono::milliseconds(ms);
        }
        const bool hasInterval = t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != kMaxDword;
        for (;;) {
            Clock::time_point until = total;
            if (hasInterval && op.Done > 0) {
                until =
                    std::min(until, op.LastByte + std::chrono::milliseconds(t.ReadIntervalTimeout));
            }
            int timeout = -1;
            if (until != Clock::time_point::max()) {
                const auto left =
                    std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
                if (left.count() <= 0) {
                    // Time-out, no failure. A thread that comes here late (a
                    // busy machine) still takes what the driver got meanwhile,
                    // as a driver that counts the time itself would have; a
                    // line that has gone shows at the next read, as before.
                    (void)ReadAvailable(op);
                    return Finish(op, 0);
                }
                timeout = static_cast<int>(std::min<std::int64_t>(left.count(), 1 << 30));
            }
            if (FFd < 0) return Finish(op, EBADF);
            short device = 0, aborted = 0;
            int rc = WaitReadable(abort, timeout, device, aborted);
            if (rc < 0) {
                if (errno == EINTR) continue;
                return Finish(op, errno);
            }
            if ((aborted & POLLIN) != 0) return Finish(op, ECANCELED);
            if (rc > 0) {
                int err = ReadAvailable(op);
                if (err != 0 && err != EAGAIN) return Finish(op, err);
                if (op.Done == op.Count || (FirstByteEnds(t) && op.Done > 0)) return Finish(op, 0);
            }
        }
    }

    int WaitForInput(int timeoutMs, bool& pending) override {
        std::shared_ptr<TAbortEvent> abort;
        {
            std::lock_guard lock(FMutex);
            if (FFd < 0) return EBADF;
            abort = FAbort;
        }
        const auto until = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
        for (;;) {
            {
                std::lock_guard lock(FMutex);
                if (FFd < 0) return EBADF;
                const int err = PumpLocked();
                TellMonitorLocked();
                pending = !FRx.empty();
                if (err != 0 && !pending) return err;
            }
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
            if (pending || left.count() <= 0) return 0;
            short device = 0, aborted = 0;
            int rc = WaitReadable(abort.get(), static_cast<int>(left.count()), device, aborted);
            if (rc < 0 && errno != EINTR) return errno;
            if ((aborted & POLLIN) != 0) return ECANCELED;
            if ((device & (POLLHUP | POLLERR)) != 0 && (device & POLLIN) == 0) return EIO;
        }
    }

private:
    // MAXDWORD interval and multiplier with a constant: return at once with
    // what is queued, or wait up to the constant for the first byte.
    static bool FirstByteEnds(const TCommTimeouts& t) {
        return t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == kMaxDword &&
               t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != kMaxDword;
    }

    static int Finish(TReadOp& op, int err) {
        op.Complete = true;
        op.Error = err;
        op.DeviceState.reset();
        return err;
    }

    // Takes what is queued, up to the rest of the count; what the driver
    // holds is taken in first when the queue does not have enough. 0 or the
    // errno of the driver's read (EIO once the terminal has hung up).
    int ReadAvailable(TReadOp& op) {
        std::lock_guard lock(FMutex);
        if (FFd < 0) return EBADF;
        TakeLocked(op);
        if (op.Done == op.Count) return 0;
        const int err = PumpLocked();
        TakeLocked(op);
        TellMonitorLocked();
        return err;
    }

    // After a reader took bytes in from the driver: the monitor would not
    // hear of them (the driver has nothing left to report), so it is woken
    // when they make an event it watches. Bytes the reader also took away
    // make none.
    void TellMonitorLocked() {
        if (FArrived == 0 || FMonitorTold) return;
        const std::uint32_t watched = FMask.load();
        const bool flag = (FArrived & kEvRxFlag) != 0 && (watched & kEvRxFlag) != 0;
        const bool data = (FArrived & kEvRxChar) != 0 && !FRx.empty() &&
                          (watched & (kEvRxChar | kEvRx80Full)) != 0;
        const bool errors =
            (FArrived & kArrivedRaw) != 0 && FHasCounters && (watched & (kEvErr | kEvBreak)) != 0;
        if (flag || data || errors) {
            FMonitorTold = true;
            Kick();
        }
    }

    void TakeLocked(TReadOp& op) {
        const std::size_t n = std::min<std::size_t>(op.Count - op.Done, FRx.size());
        if (n == 0) return;
        std::memcpy(static_cast<char*>(op.Buffer) + op.Done, FRx.data(), n);
        FRx.erase(0, n);
        op.Done += static_cast<std::uint32_t>(n);
        op.LastByte = Clock::now();
        SyncRxReadyLocked();
    }

    std::size_t InQueueCapacity() const { return std::max<std::size_t>(FInQueueSize, kMinInQueue); }

    // Moves what the driver holds into the input queue, through the filter,
    // and notes what arrived for the monitor. Returns 0 or the errno of the
    // driver's read.
    int PumpLocked() {
        char buf[4096];
        std::uint32_t arrived = 0;
        int err = 0;
        for (;;) {
            const std::size_t room = InQueueCapacity() - std::min(InQueueCapacity(), FRx.size());
            const std::size_t want = std::min(room, sizeof buf);
            if (want == 0) break;
            const ssize_t n = read(FFd, buf, want);
            if (n > 0) {
                arrived |= kArrivedRaw;
                const TRxFilter::TResult r = FFilter.Feed(buf, static_cast<std::size_t>(n), FRx);
                if (r.Queued > 0) arrived |= kEvRxChar;
                if (r.EventChar) arrived |= kEvRxFlag;
                if (static_cast<std::size_t>(n) < want) break;  // the driver has no more
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) break;
            // A terminal that has hung up reads as end of file. So does an
            // empty one that another opener (root passes TIOCEXCL; Wine, as
            // it opens a port) set to return at once (VMIN 0): that one
            // still works, and only the hang-up shows in poll.
            if (n == 0 && !HungUp()) break;
            err = n == 0 ? EIO : errno;
            break;
        }
        // A terminal that hangs up drops its unread input; so does the queue
        // that holds what was taken from it, and reads fail from then on.
        if (err == EIO && !FRx.empty()) {
            FRx.clear();
            FFilter.Reset();
            SyncRxReadyLocked();
        }
        if (arrived != 0) {
            FArrived |= arrived;
            SyncRxReadyLocked();
        }
        return err;
    }

    bool HungUp() const {
        pollfd fd{FFd, POLLIN, 0};
        return poll(&fd, 1, 0) > 0 && (fd.revents & POLLHUP) != 0;
    }

    // The input queue's count after taking in what the driver holds; when
    // the queue is full, what still waits in the driver counts too.
    int InQueueLocked(std::uint32_t& count) {
        const int err = PumpLocked();
        TellMonitorLocked();
        if (err != 0 && err != EIO) return err;
        std::size_t n = FRx.size();
        if (n >= InQueueCapacity()) {
            int more = 0;
            if (ioctl(FFd, FIONREAD, &more) == 0 && more > 0) n += static_cast<std::size_t>(more);
        }
        count = static_cast<std::uint32_t>(n);
        return 0;
    }

    // The ready signal of waiting readers is raised exactly while one waits
    // and the queue holds bytes, so a reader hears of bytes that another
    // thread took in from the driver.
    void SyncRxReadyLocked() {
        const bool ready = FReaders > 0 && !FRx.empty();
        if (ready == FRxReadyRaised || FRxReadyFd < 0) return;
        std::uint64_t value = 1;
        if (ready) {
            (void)!write(FRxReadyFd, &value, sizeof value);
        } else {
            (void)!read(FRxReadyFd, &value, sizeof value);
        }
        FRxReadyRaised = ready;
    }

    // Waits until the driver or the queue has bytes, the abort event is
    // signalled or `timeoutMs` passes (-1: no limit). Returns poll's result
    // with the revents of the device and the abort event.
    int WaitReadable(TAbortEvent* abort, int timeoutMs, short& device, short& aborted) {
        {
            std::lock_guard lock(FMutex);
            ++FReaders;
            SyncRxReadyLocked();
        }
        pollfd fds[3] = {{FFd, POLLIN, 0},
                         {abort != nullptr ? abort->Fd : -1, POLLIN, 0},
                         {FRxReadyFd, POLLIN, 0}};
        const int rc = poll(fds, 3, timeoutMs);
        const int err = errno;
        {
            std::lock_guard lock(FMutex);
            --FReaders;
            SyncRxReadyLocked();
        }
        device = fds[0].revents;
        aborted = fds[1].revents;
        errno = err;
        return rc;
    }

    // Events of what arrived since the monitor last looked: data queued, the
    // event character, the queue passing 80%, and the line errors that came
    // with the bytes (the driver's counters are looked at only then, so a
    // quiet line costs nothing).
    std::uint32_t ArrivalEvents(std::uint32_t watched) {
        std::lock_guard lock(FMutex);
        (void)PumpLocked();
        FMonitorTold = false;
        const std::uint32_t arrived = std::exchange(FArrived, 0u);
        if (arrived == 0) return 0;
        std::uint32_t fired = 0;
        if ((arrived & kEvRxChar) != 0 && !FRx.empty() && (watched & kEvRxChar) != 0) {
            fired |= kEvRxChar;
        }
        if ((arrived & kEvRxFlag) != 0 && (watched & kEvRxFlag) != 0) fired |= kEvRxFlag;
        if ((arrived & kEvRxChar) != 0) fired |= Rx80FullLocked(watched, FRx.size());
        if ((arrived & kArrivedRaw) != 0) fired |= ErrorEventsLocked(watched);
        return fired;
    }

    void Kick() {
        std::uint64_t one = 1;
        (void)!write(FKickFd, &one, sizeof one);
    }

    static std::uint32_t ModemStatus(int lines) {
        std::uint32_t status = 0;
        if ((lines & TIOCM_CTS) != 0) status |= kMsCtsOn;
        if ((lines & TIOCM_DSR) != 0) status |= kMsDsrOn;
        if ((lines & TIOCM_RI) != 0) status |= kMsRingOn;
        if ((lines & TIOCM_CD) != 0) status |= kMsRlsdOn;
        return status;
    }

    std::uint32_t Rx80FullLocked(std::uint32_t watched, std::size_t inq) {
        const bool above = FInQueueSize > 0 && inq * 10ull >= FInQueueSize * 8ull;
        const bool crossed = above && !FRx80Above;
        FRx80Above = above;
        return crossed && (watched & kEvRx80Full) != 0 ? kEvRx80Full : 0;
    }

    // Modem-line changes since the last look, for the events that are
    // watched; `lookAgain` is set when they need watching by looking again.
    std::uint32_t ModemLineEvents(std::uint32_t watched, bool& lookAgain) {
        std::uint32_t fired = 0;
        std::lock_guard lock(FMutex);
        if (FHasModemLines && (watched & (kEvCts | kEvDsr | kEvRlsd | kEvRing)) != 0) {
            if (!KernelWaitsForModemLinesLocked()) lookAgain = true;
            int lines = 0;
            if (ioctl(FFd, TIOCMGET, &lines) == 0) {
                const int changed = lines ^ FLastLines;
                if ((changed & TIOCM_CTS) != 0 && (watched & kEvCts) != 0) fired |= kEvCts;
                if ((changed & TIOCM_DSR) != 0 && (watched & kEvDsr) != 0) fired |= kEvDsr;
                if ((changed & TIOCM_CD) != 0 && (watched & kEvRlsd) != 0) fired |= kEvRlsd;
                if ((changed & lines & TIOCM_RI) != 0 && (watched & kEvRing) != 0) {
                    fired |= kEvRing;
                }
                FLastLines = lines;
            }
        }
        return fired;
    }

    // Starts the kernel's modem-status wait the first time line events are
    // watched; whether it runs (it tells the monitor of each change).
    bool KernelWaitsForModemLinesLocked() {
        if (!FModemWaitTried) {
            FModemWaitTried = true;
            const int fd = FFd;
            serial_icounter_struct counts{};
            const bool counted = ioctl(fd, TIOCGICOUNT, &counts) == 0;
            FModemWait = std::make_unique<TModemLineWait>(
                [fd, counted, last = counts]() mutable {
                    // A change between two waits is not missed: the counts
                    // tell of it before the next wait begins.
                    serial_icounter_struct now{};
                    if (counted && ioctl(fd, TIOCGICOUNT, &now) == 0 &&
                        (now.cts != last.cts || now.dsr != last.dsr || now.rng != last.rng ||
                         now.dcd != last.dcd)) {
                        last = now;
                        return 0;
                    }
                    const int rc =
                        ioctl(fd, TIOCMIWAIT, TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG);
                    const int err = rc == 0 ? 0 : errno;
                    if (counted) ioctl(fd, TIOCGICOUNT, &last);
                    return err;
                },
                [this] { Kick(); });
        }
        return FModemWait && FModemWait->Supported();
    }

    // Line errors and breaks counted since the last look, for the events
    // that are watched.
    std::uint32_t ErrorEventsLocked(std::uint32_t watched) {
        std::uint32_t fired = 0;
        if (FHasCounters && (watched & (kEvErr | kEvBreak)) != 0) {
            serial_icounter_struct now{};
            if (ioctl(FFd, TIOCGICOUNT, &now) == 0) {
                if ((watched & kEvErr) != 0 &&
                    (now.frame != FEventCounts.frame || now.parity != FEventCounts.parity ||
                     now.overrun != FEventCounts.overrun ||
                     now.buf_overrun != FEventCounts.buf_overrun)) {
                    fired |= kEvErr;
                }
                if ((watched & kEvBreak) != 0 && now.brk != FEventCounts.brk) fired |= kEvBreak;
                FEventCounts = now;
            }
        }
        return fired;
    }

    std::mutex FMutex;
    std::atomic<int> FFd{-1};
    int FEpoll = -1;
    int FKickFd = -1;
    // Raised while a reader waits and the input queue holds bytes.
    int FRxReadyFd = -1;
    int FReaders = 0;
    bool FRxReadyRaised = false;
    // The input queue: bytes taken in from the driver, filtered, not yet read.
    std::string FRx;
    TRxFilter FFilter;
    std::uint32_t FArrived = 0;  // EV_ bits and kArrivedRaw since the monitor looked
    bool FMonitorTold = false;   // woken for them, and not yet looked
    std::shared_ptr<TAbortEvent> FAbort;
    TCommTimeouts FTimeouts{};
    std::uint32_t FInQueueSize = 0;
    std::atomic<std::uint32_t> FMask{0};
    std::atomic<bool> FTxPending{false};
    bool FRx80Above = false;
    bool FHasModemLines = false;
    bool FModemWaitTried = false;
    std::unique_ptr<TModemLineWait> FModemWait;
    int FLastLines = 0;
    bool FHasCounters = false;
    serial_icounter_struct FClearCounts{};
    serial_icounter_struct FEventCounts{};
    TLineState FLineState;
};

}  // namespace

std::unique_ptr<IComDevice> MakeSystemComDevice() {
    return std::make_unique<TPosixComDevice>();
}

}  // namespace corvane::device
