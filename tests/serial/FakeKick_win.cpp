#include <windows.h>

#include "FakeComDevice.h"

namespace corvane::testing {

const int kCancelled = ERROR_OPERATION_ABORTED;

// An auto-reset event.
FakeKick::FakeKick()
    : FWaitable(reinterpret_cast<std::intptr_t>(CreateEventA(nullptr, FALSE, FALSE, nullptr))) {}

FakeKick::~FakeKick() {
    CloseHandle(reinterpret_cast<HANDLE>(FWaitable));
}

void FakeKick::Raise() const {
    SetEvent(reinterpret_cast<HANDLE>(FWaitable));
}

void FakeKick::WaitOrStop(const device::TStopSignal& stop) const {
    HANDLE handles[2] = {reinterpret_cast<HANDLE>(stop.Waitable()),
                         reinterpret_cast<HANDLE>(FWaitable)};
    WaitForMultipleObjects(2, handles, FALSE, INFINITE);
}

}  // namespace corvane::testing
