#pragma once

// What several benchmarks share: processor clocks, and a view of the
// programmer link that shows nothing.
#include <sys/resource.h>
#include <time.h>

#include <cstdio>
#include <string>

#include "ProgrammerView.h"

namespace corvane::bench {

// User plus system time of the whole process, in seconds.
inline double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& tv) {
        return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Processor time of the calling thread, in seconds.
inline double ThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// A front end without a screen: options all off, a message box goes to stderr.
class TQuietView : public TSilentView {
public:
    void ShowMessage(const std::string& text) override {
        std::fprintf(stderr, "message box: %s\n", text.c_str());
    }
};

}  // namespace corvane::bench
