#include "Discovery.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "ProgrammerLink.h"
#include "Protocol.h"
#include "Replies.h"
#include "device/ComDevice.h"

namespace corvane {

using namespace protocol;

namespace {

// One port of the search, worked on by its thread. What the calling thread
// reads while the thread runs (how far the port has come) passes the
// search's mutex; the rest is read after the join.
struct TProbe {
    TPortCheck* Check = nullptr;
    std::unique_ptr<TComPort> Port;
    std::shared_ptr<TLineTrace> Trace;
    bool OpenKnown = false;
    bool Opened = false;
    bool GreetingKnown = false;
    bool Greeted = false;  // a programmer answered the greeting
    bool Found = false;    // ... and its chip query ended without a stop
    bool Gone = false;     // its device went away (or was not there)
    TChipKind ChipKind = ckNone;
};

// The port's device went away, or is not there.
bool IsGone(const EComPort& e) {
    const device::TErrorKind kind = device::ErrorKind(e.SystemErrorCode());
    return kind == device::TErrorKind::Gone || kind == device::TErrorKind::Absent;
}

class TSearch {
public:
    TSearch(const TSearchOptions& options, std::stop_token stop)
        : FOptions(options), FStop(std::move(stop)) {}

    void Run(TProbe& probe) noexcept {
        const bool opened = Open(probe);
        Mark([&] {
            probe.OpenKnown = true;
            probe.Opened = opened;
        });
        if (opened) Greet(probe);
        Mark([&] { probe.GreetingKnown = true; });
    }

    // Waits until the port has been opened or refused; whether it opened.
    bool AwaitOpen(const TProbe& probe) {
        std::unique_lock lock(FMutex);
        FChanged.wait(lock, [&probe] { return probe.OpenKnown; });
        return probe.Opened;
    }
    // Waits until the port's greeting was answered or has failed; whether a
    // programmer answered.
    bool AwaitGreeting(const TProbe& probe) {
        std::unique_lock lock(FMutex);
        FChanged.wait(lock, [&probe] { return probe.GreetingKnown; });
        return probe.Greeted;
    }

private:
    template <typename TChange>
    void Mark(TChange change) {
        {
            std::lock_guard lock(FMutex);
            change();
        }
        FChanged.notify_all();
    }

    bool Open(TProbe& probe) noexcept {
        TPortCheck& check = *probe.Check;
        TLineTrace* trace = probe.Trace.get();
        try {
            // Looked at now, not when the list was read.
            CheckHolders(check, FOptions.Screen);
            if (check.Verdict != TPortVerdict::Scan || FStop.stop_requested()) return false;
            probe.Port->SetPort(check.Port);
            probe.Port->OpenPort();
            if (trace) trace->Note("open " + probe.Port->Port());
            return true;
        } catch (const EComPort& e) {
            if (trace) trace->Note(check.Port + ": " + e.what());
            probe.Gone = IsGone(e);
            // Kept so that a front end can say why no port could be opened.
            // Windows refuses a port that another program holds with access
            // denied: busy, as on Linux.
            if (e.ErrorCode() == errOpenPort) {
                switch (device::ErrorKind(e.SystemErrorCode())) {
                    case device::TErrorKind::NoPermission:
                        check.Verdict = TPortVerdict::NoPermission;
                        check.Error = e.SystemErrorCode();
                        break;
                    case device::TErrorKind::Busy:
                        check.Verdict = TPortVerdict::Busy;
                        check.Error = e.SystemErrorCode();
                        break;
                    default:
                        break;
                }
            }
        } catch (const std::exception& e) {
            if (trace) trace->Note(check.Port + ": " + e.what());
        }
        return false;
    }

    void Greet(TProbe& probe) noexcept {
        try {
            TSilentView view;
            TBoardExchange board(view, std::move(probe.Port), probe.Trace);
            try {
                TBoardExchange::TCommand command(board, FStop);
                std::optional<TChipKind> kind;
                probe.Found = GreetBoard(
                    board, kind,
                    [&] {
                        Mark([&] {
                            probe.GreetingKnown = true;
                            probe.Greeted = true;
                        });
                    },
                    FOptions.QueryMs);
                probe.ChipKind = kind.value_or(ckNone);
            } catch (const std::exception& e) {
                // Gone or failing: no programmer to keep here.
                if (probe.Trace) probe.Trace->Note(probe.Check->Port + ": " + e.what());
                const auto* port = dynamic_cast<const EComPort*>(&e);
                probe.Gone = port != nullptr && IsGone(*port);
            }
            probe.Port = board.ReleasePort();
        } catch (...) {
            // Out of memory: the port (if it is still ours) is closed as silent.
            probe.Found = false;
        }
    }

    const TSearchOptions& FOptions;
    std::stop_token FStop;
    std::mutex FMutex;
    std::condition_variable FChanged;
};

}  // namespace

std::optional<TChipKind> IdentifyChipOn(TBoardExchange& board, const std::string& greeting,
                                        std::int32_t queryMs) {
    TBoardExchange::TIdleGuard idle(board);
    // The 2051/4051 has no fixed size: the front end applies the "Code
    // Memory" choice when it shows the chip.
    if (NamesFamily2051(greeting)) return ck89C2051;
    std::string reply;
    board.Exchange('p', kPrompt, reply, queryMs);
    if (reply.empty()) return std::nullopt;
    return ReadChipAnswer(reply).Kind;
}

bool GreetBoard(TBoardExchange& board, std::optional<TChipKind>& kind,
                const std::function<void()>& answered, std::int32_t queryMs) {
    TBoardExchange::TIdleGuard idle(board);
    board.PurgePort();
    std::string greeting;
    board.Exchange(kCr, kPrompt, greeting, 500);
    if (!IsGreeting(greeting)) return false;
    if (answered) answered();
    kind = IdentifyChipOn(board, greeting, queryMs);
    return !board.StopRequested();
}

TSocketReply AskSocket(TBoardExchange& board, std::int32_t greetingMs, std::int32_t queryMs) {
    TBoardExchange::TIdleGuard idle(board);
    board.PurgePort();
    TSocketReply reply;
    board.Exchange(kCr, kPrompt, reply.Greeting, greetingMs);
    if (!IsGreeting(reply.Greeting) || NamesFamily2051(reply.Greeting)) return reply;
    if (!board.StopRequested()) board.Exchange('p', kPrompt, reply.ChipReply, queryMs);
    return reply;
}

TSearchResult FindProgrammers(const std::vector<std::string>& listed, const TSearchOptions& options,
                              std::stop_token stop) {
    const std::vector<std::string> ports =
        options.Schedule ? options.Schedule->Due(listed) : listed;
    TSearchResult result;
    result.Waiting = listed.size() - ports.size();
    result.Checks = ScreenPorts(ports, options.Screen);
    std::vector<TProbe> probes;
    for (TPortCheck& check : result.Checks) {
        // Ports that are not to be disturbed are not there for the search.
        if (check.Verdict != TPortVerdict::Scan) continue;
        TProbe& probe = probes.emplace_back();
        probe.Check = &check;
        probe.Port = options.MakePort ? options.MakePort() : MakeProgrammerPort();
        if (options.Trace) probe.Trace = options.Trace->Section();
    }
    if (probes.empty()) return result;
    if (options.Trace && probes.size() > 1) {
        options.Trace->Note("search: " + std::to_string(probes.size()) +
                            " ports greeted at once; the lines of each follow in turn");
    }

    // A stop from the caller, or the caller's own failure, ends every greeting.
    std::stop_source abort;
    const std::stop_callback forward(stop, [&abort] { abort.request_stop(); });
    TSearch search(options, abort.get_token());
    {
        std::vector<std::jthread> threads;
        threads.reserve(probes.size());
        try {
            for (TProbe& probe : probes) {
                try {
                    threads.emplace_back([&search, &probe] { search.Run(probe); });
                } catch (const std::system_error&) {
                    // No thread to be had: this port is greeted here and now.
                    search.Run(probe);
                }
            }
            for (const TProbe& probe : probes) {
                if (!search.AwaitOpen(probe)) continue;
                result.Opened = true;
                if (options.OnOpened) options.OnOpened(probe.Check->Port);
            }
            for (const TProbe& probe : probes) {
                if (search.AwaitGreeting(probe) && options.OnAnswered) {
                    options.OnAnswered(probe.Check->Port);
                }
            }
        } catch (...) {
            abort.request_stop();
            throw;  // the threads are joined on the way out
        }
    }

    const bool stopped = abort.stop_requested();
    // A search cut short tells nothing of the ports it greeted.
    if (options.Schedule && !stopped) {
        std::vector<std::string> tried;
        std::vector<std::string> answered;
        std::vector<std::string> gone;
        for (const TProbe& probe : probes) {
            if (probe.Check->Verdict == TPortVerdict::Scan) tried.push_back(probe.Check->Port);
            if (probe.Greeted) answered.push_back(probe.Check->Port);
            if (probe.Gone) gone.push_back(probe.Check->Port);
        }
        options.Schedule->Heard(tried, answered, gone);
    }
    for (TProbe& probe : probes) {
        if (options.Trace) options.Trace->Append(*probe.Trace);
    }
    for (TProbe& probe : probes) {
        if (probe.Found && !stopped) {
            result.Programmers.push_back(
                {probe.Check->Port, probe.ChipKind, std::move(probe.Port)});
        } else if (probe.Port) {
            ClosePortQuietly(*probe.Port, options.Trace.get());
        }
    }
    return result;
}

void TProgrammerLink::PollProgrammer(std::stop_token stop) {
    TCommand command(FBoard, std::move(stop));
    FView.SetPollTimerEnabled(false);
    try {
        TIdleGuard idle(FBoard);
        try {
            ListSerialPorts(FPortList);
        } catch (const std::exception&) {
            // No list of serial ports on this machine: no ports.
            FPortList.clear();
        }
        if (FChipKind != ckNone) {
            PollKnownChip();
        } else {
            ScanPorts();
        }
    } catch (...) {
        // Whatever went wrong, the programmer counts as gone and the next
        // tick looks for it afresh.
        FChipKind = ckNone;
        DropPort();
    }
    FView.SetPollTimerEnabled(true);
}

void TProgrammerLink::PollKnownChip() {
    try {
        std::string greeting;
        Exchange(kCr, kPrompt, greeting, 1000);
        if (IsGreeting(greeting)) {
            IdentifyChip(greeting);
        } else if (!FBoard.Stopping()) {
            // A greeting cut short by a stop tells nothing about the chip.
            // Otherwise the programmer has gone, and its port is not kept
            // from other programs.
            FChipKind = ckNone;
            DropPort();
        }
    } catch (const std::exception&) {
        // The port failed under a known chip: the programmer has gone.
        FChipKind = ckNone;
        DropPort();
    }
}

void TProgrammerLink::ScanPorts() {
    // The search opens ports of its own: the one held so far (a programmer
    // that named no known chip) is given up first.
    DropPort();
    std::vector<std::string> ports = FPortList;
    FinishPassLeftOpen(ports);

    TSearchOptions options;
    options.Screen = FPortScreen;
    options.Trace = FBoard.SharedTrace();
    options.Schedule = &FSchedule;
    options.MakePort = [this] { return MakePort(); };
    options.OnOpened = [this](const std::string& port) {
        ShowStatus("Try to connect by : " + port);
        FView.RepaintStatus();
    };
    // Said for the first programmer in the list, the one the scan keeps.
    bool identifying = false;
    options.OnAnswered = [this, &identifying](const std::string&) {
        if (std::exchange(identifying, true)) return;
        ShowStatus("Identify target chip ...");
        FView.RepaintStatus();
    };
    TSearchResult result = FindProgrammers(ports, options, FBoard.Stop());
    FPortChecks = std::move(result.Checks);
    const bool found = !result.Programmers.empty();
    if (found) {
        // The first in the list that holds a chip that is known (an empty
        // socket does not hide a chip), else the first; the others are let go.
        auto& programmers = result.Programmers;
        auto kept = std::find_if(programmers.begin(), programmers.end(),
                                 [](const TFoundProgrammer& f) { return f.ChipKind != ckNone; });
        if (kept == programmers.end()) kept = programmers.begin();
        FBoard.TakePort(std::move(kept->ComPort));
        for (TFoundProgrammer& other : programmers) {
            if (other.ComPort) ClosePortQuietly(*other.ComPort, FBoard.Trace());
        }
        SetChipKind(kept->ChipKind);
    }
    // Ports that wait for their next greeting are there all the same.
    if (result.Opened) {
        ShowStatus("");
    } else if (result.Waiting == 0) {
        ShowStatus("Available port not found!");
    }
    UpdatePortNotice(found);
}

void TProgrammerLink::FinishPassLeftOpen(std::vector<std::string>& ports) {
    if (!FBoard.PassOpen()) return;
    const std::string boardPort = FBoard.BoardPort();
    const auto at = std::find(ports.begin(), ports.end(), boardPort);
    if (at == ports.end()) return;
    if (CheckPorts({boardPort}, FPortScreen).front().Verdict == TPortVerdict::Scan) {
        TLineTrace* trace = FBoard.Trace();
        try {
            ComPort().SetPort(boardPort);
            ComPort().OpenPort();
            if (trace) trace->Note("open " + ComPort().Port());
            FBoard.PurgePort();
            FBoard.SettleBoard();
        } catch (const std::exception& e) {
            if (trace) trace->Note(boardPort + ": " + e.what());
        }
        DropPort();
    }
    if (FBoard.PassOpen()) ports.erase(at);
}

void TProgrammerLink::UpdatePortNotice(bool programmerFound) {
    std::string notice = programmerFound ? std::string() : PermissionAdvice(FPortChecks);
    if (notice == FPortNotice) return;
    FPortNotice = std::move(notice);
    FView.ShowPortNotice(FPortNotice);
}

void TProgrammerLink::DropPort() {
    ClosePortQuietly(ComPort(), FBoard.Trace());
}

bool TProgrammerLink::Greet(std::stop_token stop, const std::function<void()>& answered) {
    TCommand command(FBoard, std::move(stop));
    std::optional<TChipKind> kind;
    const bool found = GreetBoard(FBoard, kind, answered);
    if (kind) SetChipKind(*kind);
    return found;
}

TSocketReply TProgrammerLink::AskSocket(std::stop_token stop, std::int32_t greetingMs,
                                        std::int32_t queryMs) {
    TCommand command(FBoard, std::move(stop));
    return corvane::AskSocket(FBoard, greetingMs, queryMs);
}

void TProgrammerLink::IdentifyChip(const std::string& greeting) {
    if (const std::optional<TChipKind> kind = IdentifyChipOn(FBoard, greeting)) SetChipKind(*kind);
}

}  // namespace corvane
