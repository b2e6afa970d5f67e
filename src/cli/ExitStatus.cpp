#include "ExitStatus.h"

#include "CliOptions.h"
#include "StopSignals.h"

namespace corvane::cli {

int ExitStatusFor(const TOutcome& outcome, int stopStatus) {
    switch (outcome.Kind) {
        case TOutcomeKind::Complete:
            return esComplete;
        case TOutcomeKind::Stopped:
            return stopStatus != 0 ? stopStatus : esFailedStep;
        case TOutcomeKind::NoData:
            return esBadFile;
        case TOutcomeKind::Failed:
            break;
    }
    return esFailedStep;
}

int CurrentStopStatus() {
    const int signal = stop_signals::Taken();
    return signal != 0 ? StoppedStatus(signal) : 0;
}

}  // namespace corvane::cli
