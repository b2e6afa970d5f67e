#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

#include "FakeComDevice.h"

namespace corvane::testing {

const int kCancelled = ECANCELED;

FakeKick::FakeKick() : FWaitable(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

FakeKick::~FakeKick() {
    close(static_cast<int>(FWaitable));
}

void FakeKick::Raise() const {
    std::uint64_t one = 1;
    (void)!write(static_cast<int>(FWaitable), &one, sizeof one);
}

void FakeKick::WaitOrStop(const device::TStopSignal& stop) const {
    pollfd fds[2] = {{static_cast<int>(stop.Waitable()), POLLIN, 0},
                     {static_cast<int>(FWaitable), POLLIN, 0}};
    poll(fds, 2, -1);
    std::uint64_t drained;
    (void)!read(static_cast<int>(FWaitable), &drained, sizeof drained);
}

}  // namespace corvane::testing
