#include "Station.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "BoardView.h"
#include "CPort.h"
#include "Console.h"
#include "Discovery.h"
#include "Exception.h"
#include "ExitStatus.h"
#include "MultiBoard.h"
#include "PortEnum.h"
#include "PortMap.h"
#include "ProgrammerLink.h"
#include "SerialNumber.h"
#include "StationLog.h"
#include "StopSignals.h"

namespace corvane::cli {

namespace {

using Clock = std::chrono::steady_clock;

// A board's socket is looked at this often while the station waits for a
// chip or for the socket to be empty: a chip seated is erased at most this
// long plus one greeting later.
constexpr std::chrono::milliseconds kSocketPoll(200);
// The ports are greeted for programmers that appeared this often.
constexpr std::chrono::milliseconds kDiscoveryInterval(1000);

// Enter on standard input, for the boards that cannot tell an empty socket.
// The line is read by a thread of its own, started on first use and left
// to the end of the program (a read of a terminal cannot be called off).
class TEnterKey {
public:
    // Waits until an Enter beyond the first `seen` comes (true), or `stop`
    // is asked for or the input ends (false). `seen` then counts it.
    bool Wait(std::uint64_t& seen, std::stop_token stop) {
        std::unique_lock lock(FState->Mutex);
        Start();
        FState->Changed.wait(lock, stop, [&] { return FState->Count > seen || FState->Ended; });
        if (FState->Count <= seen) return false;
        seen = FState->Count;
        return true;
    }
    // The Enters so far.
    std::uint64_t Count() {
        std::lock_guard lock(FState->Mutex);
        Start();
        return FState->Count;
    }
    bool Ended() {
        std::lock_guard lock(FState->Mutex);
        return FState->Ended;
    }

private:
    struct TState {
        std::mutex Mutex;
        std::condition_variable_any Changed;
        std::uint64_t Count = 0;
        bool Ended = false;
        bool Started = false;
    };

    void Start() {  // with the lock held
        if (std::exchange(FState->Started, true)) return;
        std::thread([state = FState] {
            while (console::ReadInputLine()) {
                std::lock_guard lock(state->Mutex);
                ++state->Count;
                state->Changed.notify_all();
            }
            std::lock_guard lock(state->Mutex);
            state->Ended = true;
            state->Changed.notify_all();
        }).detach();
    }

    std::shared_ptr<TState> FState = std::make_shared<TState>();
};

class TStation {
public:
    explicit TStation(const TMultiBoardRun& run)
        : FRun(run),
          FOptions(*run.Options),
          FDisplay(run.Out, run.Err, run.Terminal, run.Options->quiet),
          FChecksum(Hex(BoardChecksum(*run.Image), 4)) {}

    int Execute() {
        if (int status = CheckSerialPlace(); status != esComplete) return status;
        const std::string logPath = FOptions.log.empty() ? kDefaultLog : FOptions.log;
        try {
            FLog = std::make_unique<TStationLog>(logPath);
            if (FOptions.serial) {
                FSeries = std::make_unique<TSerialSeries>(logPath + ".serial", FOptions.serialStart,
                                                          FOptions.serialFormat.Max());
            }
        } catch (const std::exception& e) {
            Error(e.what());
            return esBadFile;
        }
        std::optional<TSinglePortMap> map;
        TSearchOptions search;
        if (!FOptions.port.empty()) {
            try {
                map.emplace(FOptions.port);
            } catch (const std::exception& e) {
                Error(e.what());
                return esNoProgrammer;
            }
            // A port the user named is greeted even when busy or excluded.
            search.Screen.Enabled = false;
        }
        // From the first port on, a stop lets every chip under way be finished.
        stop_signals::FinishPassOnStop();
        std::stop_callback onSignal(stop_signals::Token(), [this] { FEnd.request_stop(); });
        FStart = Clock::now();
        if (!FOptions.quiet) {
            std::fprintf(FRun.Out, "station: %s (checksum %s), log %s; Ctrl+C ends\n",
                         FOptions.file.c_str(), FChecksum.c_str(), logPath.c_str());
            std::fflush(FRun.Out);
        }
        ShowTotals();
        Discover(search);
        // Every board ends its chip under way, then its thread.
        FBoards.clear();
        FDisplay.Finish();
        return Summary();
    }

private:
    struct TBoardThread {
        std::string Port;
        std::atomic<bool> Done{false};
        std::jthread Thread;
    };

    void Error(const std::string& text) {
        std::fprintf(FRun.Err, "corvane-cli: %s\n", text.c_str());
        std::fflush(FRun.Err);
    }

    bool Ending() const { return FEnd.stop_requested(); }

    // Waits until `time`, or less when the station ends.
    void PauseUntil(Clock::time_point time) {
        std::unique_lock lock(FMutex);
        FWake.wait_until(lock, FEnd.get_token(), time, [] { return false; });
    }

    // The serial number must fall in the chip's address space and, unless
    // allowed, leave the file's bytes alone.
    int CheckSerialPlace() {
        if (!FOptions.serial || FOptions.serialOverwrite) return esComplete;
        const std::uint32_t first = FOptions.serialAddress;
        const auto last = first + static_cast<std::uint32_t>(FOptions.serialFormat.Width()) - 1;
        for (std::uint32_t a = first; a <= last; ++a) {
            if (FRun.Image->GetByte(static_cast<std::uint16_t>(a)) != 0xFF) {
                Error("the serial number at " + Hex(first, 4) + "-" + Hex(last, 4) +
                      " would overwrite bytes that " + FOptions.file +
                      " sets (--serial-overwrite allows it)");
                return esUsage;
            }
        }
        return esComplete;
    }

    // Greets the ports that no board of the station holds, once a second,
    // and takes on each programmer that answers, until the station ends.
    void Discover(const TSearchOptions& search) {
        bool told = false;
        std::vector<std::string> ports;
        while (!Ending()) {
            FBoards.remove_if([](const TBoardThread& board) { return board.Done.load(); });
            try {
                ListSerialPorts(ports);
            } catch (const std::exception&) {
                ports.clear();  // no list of serial ports on this machine: no ports
            }
            std::erase_if(ports, [this](const std::string& port) {
                return std::any_of(FBoards.begin(), FBoards.end(),
                                   [&](const TBoardThread& board) { return board.Port == port; });
            });
            TSearchResult found = FindProgrammers(ports, search, FEnd.get_token());
            for (TFoundProgrammer& programmer : found.Programmers) TakeOn(std::move(programmer));
            if (FBoards.empty() && !std::exchange(told, true) && !FOptions.quiet) {
                FDisplay.SetFooter("waiting for a programmer");
                if (!FRun.Terminal) {
                    std::fprintf(FRun.Out, "waiting for a programmer\n");
                    std::fflush(FRun.Out);
                }
            }
            PauseUntil(Clock::now() + kDiscoveryInterval);
        }
    }

    void TakeOn(TFoundProgrammer found) {
        if (Ending()) return ClosePortQuietly(*found.ComPort, nullptr);
        const std::string chip = found.ChipKind == ckNone ? "-" : ChipLabel(found.ChipKind);
        // A board that comes back keeps its line.
        auto known = FLines.find(found.Port);
        const std::size_t line = known != FLines.end()
                                     ? known->second
                                     : FLines[found.Port] = FDisplay.Add(found.Port, chip);
        TBoardThread& board = FBoards.emplace_back();
        board.Port = found.Port;
        auto work = [this, &board, line](TFoundProgrammer programmer) {
            Work(programmer, line);
            board.Done = true;
        };
        try {
            board.Thread = std::jthread(work, std::move(found));
        } catch (const std::system_error& e) {
            FDisplay.Message(line, std::string("no thread for this board: ") + e.what());
            FBoards.pop_back();
        }
        ShowTotals();
    }

    // One board, on its thread, until the station ends or the board goes.
    void Work(TFoundProgrammer& found, std::size_t line) noexcept {
        try {
            Loop(found, line);
        } catch (const std::exception& e) {
            // Out of memory, most likely.
            FDisplay.Message(line, e.what());
        }
    }

    void Loop(TFoundProgrammer& found, std::size_t line) {
        TBoardView view(FDisplay, line);
        TChipKind kind = found.ChipKind;
        SetBoardOptions(view, FOptions, kind);
        bool portFailed = false;
        TProgrammerLink link(view, std::move(found.ComPort));
        ShowMonitorFailures(link, FDisplay, line, portFailed);
        // A 2051/4051 board names its chip in its greeting, seated or not.
        const bool senses = kind != ck89C2051;
        std::uint64_t enters = senses ? 0 : FEnter.Count();
        bool gone = false;
        while (!Ending()) {
            if (!senses) {
                FDisplay.Step(line, "no socket sensing: seat a chip, then press Enter");
                if (!FEnter.Wait(enters, FEnd.get_token())) {
                    if (FEnter.Ended()) FDisplay.Step(line, "standard input ended: no Enter");
                    break;
                }
            } else if (kind == ckNone) {
                FDisplay.Step(line, "waiting for a chip");
                if (!WaitForSocket(link, line, true, kind, gone)) break;
            }
            if (!Reserve()) break;
            std::string result;
            if (Program(link, view, line, kind, portFailed, result)) break;
            if (!senses || Ending()) continue;
            // A chip left in is never programmed twice.
            FDisplay.Step(line, FRun.Terminal ? result + "  remove the chip" : "remove the chip");
            if (!WaitForSocket(link, line, false, kind, gone)) break;
        }
        ClosePortQuietly(link.ComPort(), nullptr);
    }

    // Polls the socket until it holds a known chip (`seated`) or is empty;
    // false when the station ends first or the board goes (`gone`).
    bool WaitForSocket(TProgrammerLink& link, std::size_t line, bool seated, TChipKind& kind,
                       bool& gone) {
        // The greetings begin one interval apart, so a chip seated during one
        // is found by the next at most an interval later.
        auto next = Clock::now();
        for (;;) {
            next = std::max(next + kSocketPoll, Clock::now());
            PauseUntil(next);
            if (Ending()) return false;
            std::optional<TChipKind> now;
            try {
                link.SetChipKind(ckNone);
                if (link.Greet(FEnd.get_token())) now = link.ChipKind();
            } catch (const std::exception&) {
            }
            if (Ending()) return false;
            if (!now) {
                FDisplay.Step(line, "programmer gone");
                gone = true;
                return false;
            }
            kind = *now;
            if ((kind != ckNone) == seated) return true;
        }
    }

    // A place for one more chip under --chips.
    bool Reserve() {
        std::lock_guard lock(FMutex);
        if (Ending()) return false;
        if (FOptions.chips > 0 && FGood + FUnderWay >= FOptions.chips) return false;
        ++FUnderWay;
        return true;
    }

    // Programs the chip seated and logs it; `result` is its result text.
    // Whether the board has gone.
    bool Program(TProgrammerLink& link, TBoardView& view, std::size_t line, TChipKind kind,
                 bool& portFailed, std::string& result) {
        link.SetChipKind(kind);
        if (kind == ck89C2051) link.ApplyMemSizeChoice();
        SetBoardOptions(view, FOptions, kind);
        FDisplay.SetChip(line, ChipLabel(kind));

        TStationRow row;
        row.Port = link.ComPort().Port();
        row.Chip = ChipLabel(kind);
        row.File = FOptions.file;
        row.Checksum = FChecksum;
        THexFile image = *FRun.Image;
        std::optional<std::uint64_t> serial;
        if (FSeries) {
            try {
                serial = FSeries->Take();
            } catch (const std::exception& e) {
                Fatal(line, e.what());
            }
            if (!serial) {
                FDisplay.Step(line, Ending() ? "stopped" : "no serial numbers left");
                Ended(false, false);
                FEnd.request_stop();
                return false;
            }
            row.Serial = std::to_string(*serial);
            const auto bytes = FOptions.serialFormat.Bytes(*serial);
            for (std::size_t i = 0; i < bytes.size(); ++i) {
                image.SetByte(static_cast<std::uint16_t>(FOptions.serialAddress + i), bytes[i]);
            }
        }
        row.Time = std::chrono::system_clock::now();
        const auto start = Clock::now();
        bool gone = false;
        // The chip is finished whatever comes meanwhile: a stop ends the
        // station after it.
        try {
            const TOutcome outcome = link.ProgramFromImage(image);
            row.Result = outcome.Text;
            // Not stopped by a signal: the chip is that of the station's log.
            row.Status = ExitStatusFor(outcome, 0);
        } catch (const EComPort& e) {
            portFailed = true;
            gone = true;
            row.Result = e.what();
            row.Status = esPortError;
        } catch (const Exception& e) {
            // The file or the serial number does not fit this chip.
            row.Result = e.what();
            row.Status = esBadFile;
            FDisplay.Step(line, row.Result);
        } catch (const std::exception& e) {
            gone = true;
            row.Result = e.what();
            row.Status = esPortError;
        }
        view.FinishPass();
        row.Seconds = std::chrono::duration<double>(Clock::now() - start).count();
        const bool passed = row.Status == esComplete;
        try {
            if (serial && passed) FSeries->Passed(*serial);
            if (serial && !passed) FSeries->GiveBack(*serial);
            FLog->Append(row);
        } catch (const std::exception& e) {
            Fatal(line, e.what());
        }
        Ended(true, passed);
        if (!passed) FDisplay.Bell();
        if (gone) FDisplay.Step(line, row.Result + "  programmer gone");
        result = row.Result;
        return gone;
    }

    // The log or the serial numbers' state cannot be written: no chip starts
    // after this one.
    void Fatal(std::size_t line, const std::string& why) {
        FDisplay.Message(line, why);
        std::lock_guard lock(FMutex);
        FFatal = esBadFile;
        FEnd.request_stop();
    }

    // A chip under way has ended (`done`: programmed, passed or not).
    void Ended(bool done, bool passed) {
        {
            std::lock_guard lock(FMutex);
            --FUnderWay;
            if (done) ++(passed ? FGood : FFailed);
            if (FOptions.chips > 0 && FGood >= FOptions.chips) FEnd.request_stop();
        }
        ShowTotals();
    }

    std::string TotalsText() {
        std::lock_guard lock(FMutex);
        const double hours = std::chrono::duration<double>(Clock::now() - FStart).count() / 3600.0;
        const int chips = FGood + FFailed;
        char text[160];
        std::snprintf(text, sizeof text, "good %d  failed %d  %.0f chips per hour", FGood, FFailed,
                      hours > 0 ? chips / hours : 0.0);
        return text;
    }

    void ShowTotals() {
        if (FRun.Terminal) FDisplay.SetFooter(TotalsText());
    }

    int Summary() {
        const double seconds = std::chrono::duration<double>(Clock::now() - FStart).count();
        std::lock_guard lock(FMutex);
        const int chips = FGood + FFailed;
        std::fprintf(FRun.Out, "%d good, %d failed in %.0f s (%.0f chips per hour)\n", FGood,
                     FFailed, seconds, seconds > 0 ? chips * 3600.0 / seconds : 0.0);
        std::fflush(FRun.Out);
        if (FFatal != esComplete) return FFatal;
        return FFailed > 0 ? esFailedStep : esComplete;
    }

    const TMultiBoardRun& FRun;
    const TCliOptions& FOptions;
    TBoardsDisplay FDisplay;
    const std::string FChecksum;
    std::unique_ptr<TStationLog> FLog;
    std::unique_ptr<TSerialSeries> FSeries;
    TEnterKey FEnter;
    // Asked for by Ctrl+C (SIGTERM, SIGHUP), by --chips reached or by a log
    // that cannot be written: no chip starts after it.
    std::stop_source FEnd;
    std::mutex FMutex;  // the counts below
    std::condition_variable_any FWake;
    int FGood = 0;
    int FFailed = 0;
    int FUnderWay = 0;
    int FFatal = esComplete;
    Clock::time_point FStart = Clock::now();
    std::map<std::string, std::size_t> FLines;  // each port's line on the display
    // Last: their threads end before anything above goes.
    std::list<TBoardThread> FBoards;
};

}  // namespace

int RunStation(const TMultiBoardRun& run) {
    TStation station(run);
    return station.Execute();
}

}  // namespace corvane::cli
