#include "ProbeBoard.h"

#include <exception>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <utility>

namespace corvane {

namespace {

using TWall = std::chrono::system_clock;

// A UTF-8 name as a path on every platform.
std::filesystem::path PathOf(const std::string& name) {
    return std::filesystem::path(std::u8string(name.begin(), name.end()));
}

long long WallMs(TWall::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

}  // namespace

TProbeBoard::TProbeBoard(std::string program) : FProgram(std::move(program)) {}

TProbeBoard::~TProbeBoard() {
    std::error_code ignored;
    if (!FFile.empty()) std::filesystem::remove(FFile, ignored);
}

void TProbeBoard::Follow(TProbeSchedule& schedule) {
    schedule.SetOnChange([this](const std::vector<TProbeState>& states) { Publish(states); });
    Publish(schedule.States());
}

void TProbeBoard::Publish(const std::vector<TProbeState>& states) noexcept {
    try {
        // First line: the program and its process; then one line per port:
        // name, next greeting (ms since the epoch), unanswered, programmer.
        // Times are absolute so that the file changes only with the schedule.
        const TWall::time_point now = TWall::now();
        std::ostringstream text;
        text << probe_board::ThisProcess() << '\t' << FProgram << '\n';
        for (const TProbeState& state : states) {
            const auto wait = std::chrono::duration_cast<TWall::duration>(state.Wait);
            // Rounded to the second, so that a search that changes nothing
            // writes nothing.
            const long long next = (WallMs(now + wait) + 500) / 1000 * 1000;
            text << state.Port << '\t' << (state.Programmer ? 0 : next) << '\t' << state.Unanswered
                 << '\t' << (state.Programmer ? 1 : 0) << '\n';
        }
        if (text.str() == FLast) return;
        if (FFile.empty()) {
            const std::string dir = probe_board::Directory(true);
            if (dir.empty()) return;
            FFile = PathOf(dir) / std::to_string(probe_board::ThisProcess());
        }
        // Written beside it and renamed into place: a reader sees all or nothing.
        std::filesystem::path part = FFile;
        part += ".part";
        {
            std::ofstream out(part, std::ios::binary | std::ios::trunc);
            out << text.str();
            if (!out.flush()) return;
        }
        std::error_code error;
        std::filesystem::rename(part, FFile, error);
        if (!error) FLast = text.str();
    } catch (const std::exception&) {
        // Out of memory or a folder that went: nothing published.
    }
}

std::map<std::string, TPublishedProbe> ReadProbeBoards() {
    std::map<std::string, TPublishedProbe> ports;
    const std::string dir = probe_board::Directory(false);
    std::error_code error;
    if (dir.empty() || !std::filesystem::is_directory(PathOf(dir), error)) return ports;
    for (const auto& entry : std::filesystem::directory_iterator(PathOf(dir), error)) {
        if (entry.path().extension() == ".part") continue;
        std::ifstream in(entry.path(), std::ios::binary);
        long process = 0;
        std::string program;
        if (!(in >> process) || !std::getline(in >> std::ws, program)) continue;
        if (!probe_board::ProcessRuns(process)) continue;
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string port;
            long long next = 0;
            TPublishedProbe probe{program, {}, 0, false};
            if (!std::getline(fields, port, '\t') || !(fields >> next >> probe.Unanswered)) {
                continue;
            }
            int programmer = 0;
            fields >> programmer;
            probe.Programmer = programmer != 0;
            probe.Next = TWall::time_point(std::chrono::milliseconds(next));
            auto [at, added] = ports.emplace(port, probe);
            if (!added && probe.Next < at->second.Next) at->second = probe;
        }
    }
    return ports;
}

}  // namespace corvane
