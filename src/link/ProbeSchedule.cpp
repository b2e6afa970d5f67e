#include "ProbeSchedule.h"

#include <algorithm>
#include <utility>

namespace corvane {

namespace {

// A tick comes about one interval after the last search ended, and a timer may
// fire a little early: a port is due when its time is at most this far off.
constexpr auto kSlack = TProbeSchedule::kTick / 2;

}  // namespace

TProbeSchedule::TProbeSchedule(TNow now)
    : FNow(now ? std::move(now) : TNow([] { return TClock::now(); })) {}

std::vector<std::string> TProbeSchedule::Due(const std::vector<std::string>& listed) {
    const TClock::time_point now = FNow();
    std::vector<TEntry> ports;
    std::vector<std::string> due;
    for (const std::string& port : listed) {
        auto known = std::find_if(FPorts.begin(), FPorts.end(),
                                  [&](const TEntry& e) { return e.Port == port; });
        // New, or back after it was gone: at once.
        TEntry entry = known != FPorts.end() ? std::move(*known) : TEntry{port, now, 0};
        if (FProgrammers.count(port) != 0 || entry.Next <= now + kSlack) due.push_back(port);
        ports.push_back(std::move(entry));
    }
    const bool changed = ports.size() != FPorts.size();
    FPorts = std::move(ports);
    if (changed) Changed();
    return due;
}

void TProbeSchedule::Heard(const std::vector<std::string>& tried,
                           const std::vector<std::string>& answered,
                           const std::vector<std::string>& gone) {
    const TClock::time_point now = FNow();
    FProgrammers.insert(answered.begin(), answered.end());
    std::erase_if(FPorts, [&gone](const TEntry& entry) {
        return std::find(gone.begin(), gone.end(), entry.Port) != gone.end();
    });
    for (TEntry& entry : FPorts) {
        if (FProgrammers.count(entry.Port) != 0) {
            entry.Next = now;
            entry.Unanswered = 0;
        } else if (std::find(tried.begin(), tried.end(), entry.Port) != tried.end()) {
            // 1, 2, 4 ... ticks: the shift stops well before it could overflow.
            const int doublings = std::min(entry.Unanswered++, 15);
            entry.Next = now + std::min<TClock::duration>(kTick * (1 << doublings), kLongest);
        }
    }
    if (!tried.empty()) Changed();
}

void TProbeSchedule::KeepAlways(const std::string& port) {
    if (!port.empty()) FProgrammers.insert(port);
}

void TProbeSchedule::SearchNow() {
    const TClock::time_point now = FNow();
    for (TEntry& entry : FPorts) entry = {entry.Port, now, 0};
    Changed();
}

std::vector<TProbeState> TProbeSchedule::States() const {
    const TClock::time_point now = FNow();
    std::vector<TProbeState> states;
    for (const TEntry& entry : FPorts) {
        const bool programmer = FProgrammers.count(entry.Port) != 0;
        states.push_back({entry.Port, programmer ? TClock::duration{} : entry.Next - now,
                          entry.Unanswered, programmer});
    }
    return states;
}

void TProbeSchedule::Changed() const {
    if (FOnChange) FOnChange(States());
}

}  // namespace corvane
