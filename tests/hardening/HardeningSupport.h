#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "LinkTestSupport.h"
#include "RecordingView.h"
#include "VirtualProgrammer.h"

namespace corvane::test {

// The uid that unprivileged parts of the tests run as.
inline constexpr uid_t kNobody = 65534;

// A board that answers at once: no line pacing, no erase delay, no pause.
inline sim::BoardOptions FastBoard(const sim::Chip& chip = sim::ChipFromCode("51")) {
    sim::BoardOptions o;
    o.chip = chip;
    o.eraseDelay = std::chrono::milliseconds(0);
    o.writePause = std::chrono::milliseconds(0);
    return o;
}

// What the process holds: resident memory, open descriptors, threads.
struct ProcessFigures {
    long rssKb = 0;
    long fds = 0;
    long threads = 0;
};

inline long CountEntries(const char* dir) {
    std::error_code ec;
    long n = 0;
    for (auto it = std::filesystem::directory_iterator(dir, ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        ++n;
    }
    return n;
}

inline ProcessFigures Measure() {
    ProcessFigures f;
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    f.rssKb = resident * (sysconf(_SC_PAGESIZE) / 1024);
    f.fds = CountEntries("/proc/self/fd") - 1;  // the directory iterator's own descriptor
    f.threads = CountEntries("/proc/self/task");
    return f;
}

inline std::string Describe(const ProcessFigures& f) {
    return std::to_string(f.rssKb) + " kB resident, " + std::to_string(f.fds) + " descriptors, " +
           std::to_string(f.threads) + " threads";
}

// The long forms of the long-run tests run with CORVANE_LONG=1.
inline bool LongRuns() {
    const char* v = std::getenv("CORVANE_LONG");
    return v != nullptr && *v != '\0' && std::strcmp(v, "0") != 0;
}

// Under AddressSanitizer freed memory stays in its quarantine for a while, so
// resident memory grows whatever the code does; LeakSanitizer checks there.
inline constexpr bool kSanitized =
#if defined(__SANITIZE_ADDRESS__)
    true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    true;
#else
    false;
#endif
#else
    false;
#endif

// Runs `body` in a forked child and gives its exit code (128 + signal when a
// signal ended it). The body's result is the child's exit code; an exception
// leaving it gives 99.
inline int InChild(const std::function<int()>& body) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        int code = 99;
        try {
            code = body();
        } catch (...) {
        }
        _exit(code);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A recording view that can also act at a progress position.
class HookedView : public RecordingView {
public:
    void SetProgressPosition(int position) override {
        RecordingView::SetProgressPosition(position);
        if (onProgress) onProgress(position);
    }
    std::function<void(int)> onProgress;
};

}  // namespace corvane::test
