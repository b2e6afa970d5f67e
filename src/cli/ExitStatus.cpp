#include "ExitStatus.h"

#include "CliOptions.h"
#include "StopSignals.h"

namespace corvane::cli {

int CurrentStopStatus() {
    const int signal = stop_signals::Taken();
    return signal != 0 ? StoppedStatus(signal) : 0;
}

}  // namespace corvane::cli
