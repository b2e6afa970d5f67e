#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "ProbeSchedule.h"

// The searches' schedules shared between programs, so that `corvane-cli
// ports`, which opens no port and runs no search, can tell when each port is
// greeted next. Each program that searches for a while (the window, the
// station, --count) keeps one small file in a folder of the runtime directory
// (beside the device map that it searches) while it runs; the file names the
// program and, per port, the wall-clock time of the next greeting and the
// greetings left unanswered. A file whose program has ended is passed over.
namespace corvane {

struct TPublishedProbe {
    std::string Program;  // "window", "station", ...
    std::chrono::system_clock::time_point Next;
    int Unanswered = 0;
    bool Programmer = false;
};

// This process's file, removed again when it goes. Writing fails quietly:
// the schedule is a courtesy to the user, never a reason to stop a search.
class TProbeBoard {
public:
    explicit TProbeBoard(std::string program);
    ~TProbeBoard();
    TProbeBoard(const TProbeBoard&) = delete;
    TProbeBoard& operator=(const TProbeBoard&) = delete;

    void Publish(const std::vector<TProbeState>& states) noexcept;
    // Publishes `schedule` from now on, whenever it changes.
    void Follow(TProbeSchedule& schedule);

private:
    std::string FProgram;
    std::filesystem::path FFile;
    std::string FLast;  // what the file holds
};

// Per port, the soonest next greeting of the searches that run now.
std::map<std::string, TPublishedProbe> ReadProbeBoards();

namespace probe_board {
// The folder of the files (platform's): made when `make`, and then only when
// it belongs to this user and no one else may write into it; empty when it
// cannot be used.
std::string Directory(bool make);
long ThisProcess();
bool ProcessRuns(long id);
}  // namespace probe_board

}  // namespace corvane
