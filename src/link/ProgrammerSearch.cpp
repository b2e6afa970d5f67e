#include "ProgrammerSearch.h"

#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "ProgrammerLink.h"
#include "device/ComDevice.h"

namespace corvane {

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
    TChipKind ChipKind = ckNone;
};

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
            TProgrammerLink link(view, std::move(probe.Port));
            link.SetLineTrace(probe.Trace);
            try {
                probe.Found = link.Greet(FStop, [&] {
                    Mark([&] {
                        probe.GreetingKnown = true;
                        probe.Greeted = true;
                    });
                });
                probe.ChipKind = link.ChipKind();
            } catch (const std::exception& e) {
                // Gone or failing: no programmer to keep here.
                if (probe.Trace) probe.Trace->Note(probe.Check->Port + ": " + e.what());
            }
            probe.Port = link.ReleasePort();
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

std::unique_ptr<TComPort> MakeProgrammerPort() {
    auto port = std::make_unique<TComPort>();
    TProgrammerLink::ApplyProgrammerSettings(*port);
    return port;
}

void ClosePortQuietly(TComPort& port, TLineTrace* trace) {
    if (trace && port.Connected()) trace->Note("close " + port.Port());
    try {
        port.ClosePort();
    } catch (const std::exception&) {
    }
}

TSearchResult FindProgrammers(const std::vector<std::string>& ports, const TSearchOptions& options,
                              std::stop_token stop) {
    TSearchResult result;
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

}  // namespace corvane
