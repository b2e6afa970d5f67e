#include "ProgramEnd.h"

#include <cstdio>
#include <cstdlib>

#include "WindowRules.h"

namespace corvane {

void EndAtOnce(int status) {
    std::fflush(nullptr);
    std::_Exit(status);
}

int FinishProgram(const TWindowRules& rules, int loopStatus, platform::TStopRequests& requests) {
    const int status = rules.ExitStatus() != 0 ? rules.ExitStatus() : loopStatus;
    // The window has gone: a request from now on ends the program at once.
    requests.SetHandler([](int requested) { EndAtOnce(requested); });
    if (rules.WorkAbandoned()) EndAtOnce(status);
    return status;
}

}  // namespace corvane
