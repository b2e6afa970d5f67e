#include "MultiBoard.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "BoardExchange.h"
#include "BoardsDisplay.h"
#include "CPort.h"
#include "Discovery.h"
#include "Exception.h"
#include "ExitStatus.h"
#include "PortEnum.h"
#include "PortScreen.h"
#include "ProbeBoard.h"
#include "ProgrammerLink.h"
#include "StopSignals.h"

namespace corvane::cli {

namespace {

using Clock = std::chrono::steady_clock;

// Without --count the ports are greeted as a single board's detection greets
// them: up to this many poll cycles, until a programmer answers.
constexpr int kSearchCycles = 3;
constexpr std::chrono::milliseconds kPollInterval(1000);

std::string PortNames(const std::vector<TFoundProgrammer>& found) {
    std::string names;
    for (const TFoundProgrammer& f : found) names += (names.empty() ? "" : ", ") + f.Port;
    return names;
}

// Why a search found no programmer at all.
std::string NobodyAnswered(const TSearchResult& search) {
    std::string greeted;
    std::string leftAlone;
    for (const TPortCheck& check : search.Checks) {
        if (check.Verdict == TPortVerdict::Scan) {
            greeted += (greeted.empty() ? "" : ", ") + check.Port;
        } else {
            leftAlone += (leftAlone.empty() ? "" : "; ") + check.Port + " " + VerdictText(check);
        }
    }
    std::string text = !greeted.empty()    ? "no programmer answered on " + greeted
                       : search.Opened     ? "no programmer answered"
                       : leftAlone.empty() ? std::string("Available port not found!")
                                           : "Available port not found! Left alone: " + leftAlone;
    if (const std::string advice = PermissionAdvice(search.Checks); !advice.empty()) {
        text += "\n" + advice;
    }
    return text;
}

struct TBoard {
    TFoundProgrammer Found;
    std::size_t Line = 0;  // its line on the display
    TBoardRow Row;
    int Status = esComplete;
};

class TRun {
public:
    explicit TRun(const TMultiBoardRun& run) : FRun(run), FOptions(*run.Options) {}

    int Execute() {
        std::vector<TFoundProgrammer> found;
        if (int status = FindBoards(found); status != esComplete) return status;
        return RunBoards(std::move(found));
    }

private:
    void Error(const std::string& text) {
        std::fprintf(FRun.Err, "corvane-cli: %s\n", text.c_str());
        std::fflush(FRun.Err);
    }

    void CloseAll(std::vector<TFoundProgrammer>& found) {
        for (TFoundProgrammer& f : found) ClosePortQuietly(*f.ComPort, FRun.Trace.get());
        found.clear();
    }

    // Greets the ports until enough programmers with a chip known have
    // answered: `found` then holds them (and those that answered the last
    // search without a chip that is known), their ports open, in the order
    // of the system's list.
    int FindBoards(std::vector<TFoundProgrammer>& found) {
        // From the first port on, a stop leaves every board at its prompt.
        stop_signals::FinishPassOnStop();
        const std::size_t wanted =
            FOptions.count > 0 ? static_cast<std::size_t>(FOptions.count) : 1;
        const auto start = Clock::now();
        const auto deadline = FOptions.timeout > 0
                                  ? start + std::chrono::duration_cast<Clock::duration>(
                                                std::chrono::duration<double>(FOptions.timeout))
                                  : Clock::time_point::max();
        std::vector<TFoundProgrammer> known;
        std::vector<TFoundProgrammer> unknown;  // answered, but with no chip that is known
        std::vector<std::string> ports;
        TSearchResult search;
        TSearchOptions options;
        options.Trace = FRun.Trace;
        options.QueryMs = kShortChipQueryMs;
        // A silent port is greeted less and less often, as in the window;
        // --count waits long enough for others to want to know when.
        TProbeSchedule schedule;
        options.Schedule = &schedule;
        std::optional<TProbeBoard> board;
        if (FOptions.count > 0) board.emplace("corvane-cli --count").Follow(schedule);
        for (int cycle = 0;; ++cycle) {
            if (cycle > 0) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
                stop_signals::SleepUnlessTaken(
                    std::clamp(left, std::chrono::milliseconds(0), kPollInterval));
            }
            if (stop_signals::Taken() != 0) break;
            try {
                ListSerialPorts(ports);
            } catch (const std::exception&) {
                ports.clear();  // no list of serial ports on this machine: no ports
            }
            // The boards kept from earlier polls are greeted again on their
            // open ports; the other ports are searched again (a chip may have
            // been put in meanwhile).
            GreetHeld(known);
            std::vector<std::string> greet;
            for (const std::string& port : ports) {
                if (std::none_of(known.begin(), known.end(),
                                 [&](const TFoundProgrammer& f) { return f.Port == port; })) {
                    greet.push_back(port);
                }
            }
            CloseAll(unknown);
            TSearchResult last = FindProgrammers(greet, options, stop_signals::Token());
            for (TFoundProgrammer& f : last.Programmers) {
                (f.ChipKind != ckNone ? known : unknown).push_back(std::move(f));
            }
            // A search that greeted nothing (each port waiting for its turn)
            // leaves what the last one that did found.
            if (!last.Checks.empty() || last.Waiting == 0) search = std::move(last);
            if (known.size() >= wanted) break;
            if (FOptions.count == 0 ? cycle + 1 >= kSearchCycles : Clock::now() >= deadline) break;
        }

        if (int signal = stop_signals::Taken()) {
            CloseAll(known);
            CloseAll(unknown);
            Error(kStoppedText);
            return StoppedStatus(signal);
        }
        if (FOptions.count > 0 && known.size() < wanted) {
            const double waited = std::chrono::duration<double>(Clock::now() - start).count();
            char text[160];
            std::snprintf(text, sizeof text,
                          "%zu of the %d programmers asked for answered with a chip within %.0f s",
                          known.size(), FOptions.count, waited);
            std::string message = text;
            if (!known.empty()) message += ": " + PortNames(known);
            if (!unknown.empty()) message += "; no chip that is known on " + PortNames(unknown);
            CloseAll(known);
            CloseAll(unknown);
            Error(message);
            return esNoProgrammer;
        }
        if (known.empty() && unknown.empty()) {
            Error(NobodyAnswered(search));
            return esNoProgrammer;
        }
        // In the order of the list (programmers kept from earlier polls first
        // otherwise, when their ports are no longer listed).
        found = std::move(known);
        for (TFoundProgrammer& f : unknown) found.push_back(std::move(f));
        auto place = [&ports](const TFoundProgrammer& f) {
            return std::find(ports.begin(), ports.end(), f.Port) - ports.begin();
        };
        std::stable_sort(found.begin(), found.end(),
                         [&](const TFoundProgrammer& a, const TFoundProgrammer& b) {
                             return place(a) < place(b);
                         });
        return esComplete;
    }

    // Greets each board held from an earlier poll again, on its open port: a
    // board that no longer answers with a chip that is known is let go (its
    // port is searched again if it is still listed), and each keeps the chip
    // it names now.
    void GreetHeld(std::vector<TFoundProgrammer>& held) {
        for (auto it = held.begin(); it != held.end();) {
            TSilentView view;
            TBoardExchange board(view, std::move(it->ComPort), FRun.Trace);
            std::optional<TChipKind> kind;
            bool answered = false;
            try {
                TBoardExchange::TCommand command(board, stop_signals::Token());
                answered = GreetBoard(board, kind, {}, kShortChipQueryMs);
            } catch (const std::exception&) {
                // Gone or failing: let go.
            }
            it->ComPort = board.ReleasePort();
            if (kind) it->ChipKind = *kind;
            if (answered && it->ChipKind != ckNone) {
                ++it;
            } else {
                ClosePortQuietly(*it->ComPort, FRun.Trace.get());
                it = held.erase(it);
            }
        }
    }

    bool TakesFile() const {
        return FOptions.command == TCommand::Program || FOptions.command == TCommand::Verify;
    }

    int RunBoards(std::vector<TFoundProgrammer> found) {
        TBoardsDisplay display(FRun.Out, FRun.Err, FRun.Terminal, FOptions.Quiet);
        const std::string checksum = TakesFile() ? Hex(BoardChecksum(*FRun.Image), 4) : "";
        std::vector<TBoard> boards(found.size());
        for (std::size_t i = 0; i < found.size(); ++i) {
            TBoard& board = boards[i];
            board.Found = std::move(found[i]);
            const TChipKind kind = board.Found.ChipKind;
            board.Row.Port = board.Found.Port;
            board.Row.Chip = kind == ckNone ? "-" : ChipLabel(kind);
            // A 2051/4051 has no checksum command.
            board.Row.Checksum = kind == ckNone || kind == ck89C2051 ? "-" : checksum;
            board.Line = display.Add(board.Row.Port, board.Row.Chip);
            if (kind == ck89C2051 && FOptions.Board.FastVerify) {
                Error(board.Row.Port + ": a 2051/4051 has no checksum: verifying by read-back");
            }
            if (kind != ck89C2051 && kind != ckNone && FOptions.SizeGiven) {
                Error(board.Row.Port + ": --size applies to a 2051/4051; the " + ChipLabel(kind) +
                      " has " + std::to_string(ChipMemSize(kind)) + " bytes");
            }
        }
        for (TBoard& board : boards) {
            if (board.Found.ChipKind != ckNone) continue;
            ClosePortQuietly(*board.Found.ComPort, FRun.Trace.get());
            board.Row.Result = "no chip that is known (empty socket?)";
            board.Status = esNoProgrammer;
            display.Step(board.Line, board.Row.Result);
        }
        {
            std::vector<std::jthread> threads;
            for (TBoard& board : boards) {
                if (board.Found.ChipKind == ckNone) continue;
                try {
                    threads.emplace_back([this, &board, &display] { RunBoard(board, display); });
                } catch (const std::system_error&) {
                    // No thread to be had: this board is worked on here and now.
                    RunBoard(board, display);
                }
            }
        }
        display.Finish();
        std::vector<TBoardRow> rows;
        int status = esComplete;
        for (const TBoard& board : boards) {
            rows.push_back(board.Row);
            status = std::max(status, board.Status);
        }
        display.Summary(rows, TakesFile());
        return status;
    }

    // The command on one board, on its thread; never lets an exception out.
    void RunBoard(TBoard& board, TBoardsDisplay& display) noexcept {
        const auto start = Clock::now();
        try {
            Work(board, display);
        } catch (const std::exception& e) {
            // Out of memory, most likely.
            board.Status = esPortError;
            board.Row.Result = e.what();
        }
        board.Row.Seconds = std::chrono::duration<double>(Clock::now() - start).count();
    }

    void Work(TBoard& board, TBoardsDisplay& display) {
        std::shared_ptr<TLineTrace> trace;
        if (FRun.Trace) {
            try {
                trace = FRun.Trace->Sibling(BoardTracePath(FOptions.trace, board.Row.Port));
            } catch (const std::exception& e) {
                ClosePortQuietly(*board.Found.ComPort, nullptr);
                board.Status = esBadFile;
                board.Row.Result = e.what();
                return;
            }
        }
        TBoardView view(display, board.Line);
        const TChipKind kind = board.Found.ChipKind;
        SetBoardOptions(view, FOptions.Board, kind);
        bool portErrorShown = false;
        TProgrammerLink link(view, std::move(board.Found.ComPort));
        link.SetSizeChoiceName(kSizeChoiceName);
        link.SetLineTrace(trace);
        if (trace) {
            trace->Note(board.Row.Chip + " on " + board.Row.Port + ", found by the search in " +
                        FOptions.trace);
        }
        ShowMonitorFailures(link, display, board.Line, portErrorShown);
        link.SetChipKind(kind);
        if (kind == ck89C2051) link.ApplyMemSizeChoice();

        const std::stop_token stop = stop_signals::Token();
        TOutcomeKind kindOfEnd = TOutcomeKind::Failed;
        const station::TBoardResult result = station::RunOnBoard(view, CurrentStopStatus, [&] {
            TOutcome outcome{TOutcomeKind::Failed, "the workflow did not complete"};
            switch (FOptions.command) {
                case TCommand::Program:
                    outcome = link.ProgramFromImage(*FRun.Image, stop, FRun.FileLength);
                    break;
                case TCommand::Verify:
                    outcome = link.VerifyWithImage(*FRun.Image, stop, FRun.FileLength);
                    break;
                case TCommand::Erase:
                    outcome = link.EraseOnly(stop);
                    break;
                case TCommand::BlankCheck:
                    outcome = link.BlankCheck(stop);
                    break;
                default:
                    break;
            }
            kindOfEnd = outcome.Kind;
            return outcome;
        });
        if (result.PortFailed) portErrorShown = true;
        board.Status = result.Status;
        board.Row.Result = result.Text;
        // A chip that differs from the file or is not blank: where.
        if (result.Ended && kindOfEnd == TOutcomeKind::Failed) {
            if (const std::string detail = Differences(link); !detail.empty()) {
                display.Message(board.Line, detail);
            }
        }
    }

    // Where the chip differs from the file (verify) or from FF (blank-check).
    std::string Differences(TProgrammerLink& link) const {
        const bool blank = FOptions.command == TCommand::BlankCheck;
        const THexFile& chip = link.ReadImage();
        const std::uint32_t count = link.CheckedCount();
        std::uint32_t differing = 0;
        std::string first;
        for (std::uint32_t i = 0; i < count; ++i) {
            const auto address = static_cast<std::uint16_t>(i);
            const std::uint8_t want = blank ? 0xFF : link.SourceImage().GetByte(address);
            const std::uint8_t have = chip.GetByte(address);
            if (want == have) continue;
            if (++differing == 1) {
                first = "address " + Hex(address, 4) + ": " +
                        (blank ? "" : "file " + Hex(want, 2) + ", ") + "chip " + Hex(have, 2);
            }
        }
        if (differing == 0) return "";
        return std::to_string(differing) + " of " + std::to_string(count) + " bytes " +
               (blank ? "are not FF" : "differ") + ", the first at " + first;
    }

    const TMultiBoardRun& FRun;
    const TCliOptions& FOptions;
};

}  // namespace

int RunOnEveryBoard(const TMultiBoardRun& run) {
    TRun multi(run);
    return multi.Execute();
}

std::string BoardTracePath(const std::string& trace, const std::string& port) {
    std::string name = port;
    std::replace(name.begin(), name.end(), '/', '_');
    return trace + "." + name;
}

}  // namespace corvane::cli
