#pragma once

#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <vector>

// How often each port of the system's list is greeted by a search.
//
// Greeting a port means opening it, and on Linux opening a port raises DTR
// and RTS whatever the program asks for afterwards, which resets many
// development boards. So a port that leaves its greetings unanswered (or
// answers without the keyword) is greeted less and less often: one tick after
// the first such greeting, then two, four, ... up to 30 s. A port that is new
// in the list, or back after it was gone, is greeted at once and starts again
// from one tick; a port where a programmer answered during this run is
// greeted at every tick, so a programmer plugged back in under the same name
// is found as fast as ever. The window, --count, --all and the station share
// this rule through FindProgrammers (TSearchOptions::Schedule).
namespace corvane {

struct TProbeState {
    std::string Port;
    // Until the port's next greeting; zero or less: at the next search.
    std::chrono::steady_clock::duration Wait{};
    int Unanswered = 0;       // greetings in a row that no programmer answered
    bool Programmer = false;  // a programmer answered on it: greeted at every tick
};

class TProbeSchedule {
public:
    using TClock = std::chrono::steady_clock;
    using TNow = std::function<TClock::time_point()>;
    // The poll's interval, and the longest wait between two greetings.
    static constexpr std::chrono::milliseconds kTick{1000};
    static constexpr std::chrono::milliseconds kLongest{30000};

    // `now`: the clock (unset: the steady clock).
    explicit TProbeSchedule(TNow now = {});

    // The ports of `listed` (the system's list, in its order) to greet now. A
    // port new to the list, or back in it, is greeted at once; a port that is
    // no longer listed is forgotten. Listing opens nothing.
    std::vector<std::string> Due(const std::vector<std::string>& listed);
    // After a search: each port of `tried` that is not in `answered` waits
    // twice as long as the last time for its next greeting (one tick after the
    // first); each port of `answered` is a programmer's port from now on. A
    // port of `gone` (its device went away while it was greeted) counts as
    // gone from the list: it may be back, under the same name, by the next
    // search, which greets it at once.
    void Heard(const std::vector<std::string>& tried, const std::vector<std::string>& answered,
               const std::vector<std::string>& gone = {});
    // A programmer's port known from before this run (the window's last one).
    void KeepAlways(const std::string& port);
    // Search now: every port is greeted at the next search and starts again
    // from one tick.
    void SearchNow();

    // The ports listed at the last search, in its order.
    std::vector<TProbeState> States() const;
    // Told of the states whenever they changed (after a search or SearchNow).
    void SetOnChange(std::function<void(const std::vector<TProbeState>&)> told) {
        FOnChange = std::move(told);
    }

private:
    struct TEntry {
        std::string Port;
        TClock::time_point Next{};
        int Unanswered = 0;
    };
    void Changed() const;

    TNow FNow;
    std::vector<TEntry> FPorts;
    std::set<std::string> FProgrammers;
    std::function<void(const std::vector<TProbeState>&)> FOnChange;
};

}  // namespace corvane
