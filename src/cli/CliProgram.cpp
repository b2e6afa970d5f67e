#include "CliProgram.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <thread>

#include "CPort.h"
#include "CliOptions.h"
#include "Exception.h"
#include "PortMap.h"
#include "ProgrammerLink.h"
#include "StopSignals.h"
#include "TerminalView.h"
#include "UHexFile.h"

#ifndef CORVANE_VERSION
#define CORVANE_VERSION "4.0"
#endif

namespace corvane::cli {

namespace {

// Detection runs poll cycles as the window's timer does, one interval apart,
// and gives up after this many.
constexpr int kDetectCycles = 3;
constexpr std::chrono::milliseconds kPollInterval(1000);

constexpr const char* kTryPrefix = "Try to connect by : ";
constexpr const char* kIdentifying = "Identify target chip ...";
constexpr const char* kComplete = "Complete!";
constexpr const char* kStopped = "Stopped!";

// Sets the busy flag for its lifetime; the flag keeps a poll from starting
// in the middle of a workflow, as the window's does.
class TBusyScope {
public:
    explicit TBusyScope(bool& busy) : FBusy(busy) { FBusy = true; }
    ~TBusyScope() { FBusy = false; }
    TBusyScope(const TBusyScope&) = delete;
    TBusyScope& operator=(const TBusyScope&) = delete;

private:
    bool& FBusy;
};

std::string PortPathOf(const std::string& name) {
    // A port name that is not a path names a device under /dev.
    return !name.empty() && name[0] == '/' ? name : "/dev/" + name;
}

class TCliProgram {
public:
    TCliProgram(const TCliOptions& options, std::FILE* out, std::FILE* err, bool terminal)
        : FOptions(options), FOut(out), FErr(err), FView(out, err, terminal, options.quiet) {
        FView.SetFastVerifyChecked(options.fastVerify);
        FView.SetLockChecked(options.lock);
        FView.SetMemSizeIndex(options.memSizeIndex);
    }

    ~TCliProgram() { stop_signals::SetTarget(nullptr); }
    TCliProgram(const TCliProgram&) = delete;
    TCliProgram& operator=(const TCliProgram&) = delete;

    int Run() {
        switch (FOptions.command) {
            case TCommand::Detect:
                return Detect();
            case TCommand::Program:
                return Program();
            case TCommand::Read:
                return Read();
            case TCommand::None:
                break;
        }
        return esUsage;
    }

private:
    int Fail(int status, const std::string& message) {
        FView.FinishPass();
        std::fprintf(FErr, "corvane-cli: %s\n", message.c_str());
        std::fflush(FErr);
        return status;
    }

    // Runs poll cycles until a chip is known or the cycles are spent; prints
    // the chip and its port, or why there is none. The link and, for --port,
    // the private device map exist only from here on.
    int Detect() {
        std::optional<TSinglePortMap> map;
        if (!FOptions.port.empty()) {
            try {
                map.emplace(FOptions.port);
            } catch (const std::exception& e) {
                return Fail(esNoProgrammer, e.what());
            }
        }
        FLink = std::make_unique<TProgrammerLink>(FView);
        stop_signals::SetTarget(FLink.get());
        // A failure of the port's monitor thread reaches this thread when the
        // port closes, possibly while the link goes; it is shown unless the
        // port's failure has been reported already.
        FLink->ComPort().Dispatcher()->SetExceptionHandler([this](std::exception_ptr error) {
            if (FPortErrorShown) return;
            FPortErrorShown = true;
            try {
                std::rethrow_exception(error);
            } catch (const std::exception& e) {
                std::fprintf(FErr, "corvane-cli: the port failed: %s\n", e.what());
            } catch (...) {
                std::fprintf(FErr, "corvane-cli: the port failed\n");
            }
        });

        std::vector<std::string> tried;
        bool answered = false;
        FView.OnStatus = [&](const std::string& text) {
            // A poll forgets a stop asked for before it began: one that came
            // since is asked for again before each greeting and chip query.
            if (stop_signals::Taken() != 0) FLink->RequestStop();
            if (text.rfind(kTryPrefix, 0) == 0)
                tried.push_back(text.substr(std::strlen(kTryPrefix)));
            if (text == kIdentifying) answered = true;
        };
        for (int cycle = 0; cycle < kDetectCycles && FLink->ChipKind() == ckNone; ++cycle) {
            if (cycle > 0) stop_signals::SleepUnlessTaken(kPollInterval);
            if (stop_signals::Taken() != 0) break;
            tried.clear();
            answered = false;
            Poll();
        }
        FView.OnStatus = nullptr;
        if (int signal = stop_signals::Taken()) return Fail(StoppedStatus(signal), kStopped);

        const TChipKind kind = FLink->ChipKind();
        if (kind == ckNone) {
            if (answered) {
                return Fail(esNoProgrammer, "the programmer on " + FLink->ComPort().Port() +
                                                " holds no chip that is known (empty socket?)");
            }
            if (!tried.empty()) {
                std::string list;
                for (const auto& port : tried) list += (list.empty() ? "" : ", ") + port;
                return Fail(esNoProgrammer, "no programmer answered on " + list);
            }
            if (!FOptions.port.empty()) {
                struct stat st {};
                const std::string path = PortPathOf(FOptions.port);
                const std::string why = stat(path.c_str(), &st) != 0
                                            ? std::strerror(errno)
                                            : "cannot be opened as a serial port";
                return Fail(esNoProgrammer, path + ": " + why);
            }
            return Fail(esNoProgrammer, FLink->LastStatus().empty()
                                            ? std::string("no serial port could be opened")
                                            : FLink->LastStatus());
        }

        // What the window's display refresh does for the chip it shows.
        FView.SetFastVerifyEnabled(kind != ck89C2051);
        if (kind == ck89C2051) FLink->ApplyMemSizeChoice();

        const std::string found = ChipLabel(kind) + " on " + FLink->ComPort().Port();
        if (FOptions.command == TCommand::Detect || !FOptions.quiet) {
            std::fprintf(FOut, "%s\n", found.c_str());
            std::fflush(FOut);
        }
        if (kind != ck89C2051 && FOptions.sizeGiven) {
            std::fprintf(FErr, "corvane-cli: --size applies to a 2051/4051; the %s has %u bytes\n",
                         ChipLabel(kind).c_str(), static_cast<unsigned>(ChipMemSize(kind)));
        }
        if (kind == ck89C2051 && FOptions.fastVerify) {
            std::fprintf(FErr,
                         "corvane-cli: a 2051/4051 has no checksum: verifying by read-back\n");
        }
        return esComplete;
    }

    void Poll() {
        if (FBusy || !FView.PollTimerEnabled()) return;
        TBusyScope busy(FBusy);
        FLink->PollProgrammer();
    }

    // Reads the file before the programmer is looked for, so that a file that
    // is missing, malformed or empty is reported at once; the link loads it
    // again at the chip's size.
    int CheckSourceFile() {
        try {
            THexFile image;
            image.SetMemSize(0xFFFF);
            image.LoadHex(FOptions.file);
            if (TProgrammerLink::LastDataIndex(image) < 0) {
                return Fail(esBadFile, FOptions.file + ": No data to program!");
            }
        } catch (const Exception& e) {
            return Fail(esBadFile, FOptions.file + ": " + e.what());
        }
        return esComplete;
    }

    // The read-back is saved only after the whole chip has been read: a
    // destination that cannot be written is reported before.
    int CheckDestination() {
        namespace fs = std::filesystem;
        const fs::path path(FOptions.file);
        std::error_code ec;
        if (fs::is_directory(path, ec)) return Fail(esBadFile, FOptions.file + ": Is a directory");
        const fs::path dir = path.has_parent_path() ? path.parent_path() : fs::path(".");
        if (access(dir.c_str(), W_OK | X_OK) != 0) {
            return Fail(esBadFile, FOptions.file + ": " + std::strerror(errno));
        }
        return esComplete;
    }

    // Runs a workflow with the busy flag set and turns its outcome into the
    // exit status.
    template <typename TWorkflow>
    int RunWorkflow(TWorkflow workflow) {
        if (int signal = stop_signals::Taken()) return Fail(StoppedStatus(signal), kStopped);
        // The workflow forgets a stop asked for before it began; one that came
        // in between is asked for again at its first status text.
        FView.OnStatus = [this](const std::string&) {
            if (stop_signals::Taken() != 0) FLink->RequestStop();
        };
        try {
            TBusyScope busy(FBusy);
            workflow();
        } catch (const EComPort& e) {
            FPortErrorShown = true;
            return Fail(esPortError, FLink->ComPort().Port() + ": " + e.what());
        } catch (const Exception& e) {
            // The HEX reader and writer, and the file system under them.
            return Fail(esBadFile, FOptions.file + ": " + e.what());
        } catch (const std::exception& e) {
            return Fail(esPortError, e.what());
        }
        FView.FinishPass();
        FView.OnStatus = nullptr;
        const std::string outcome = FLink->LastStatus();
        if (outcome == kComplete) return esComplete;
        if (outcome == kStopped && stop_signals::Taken() != 0) {
            return Fail(StoppedStatus(stop_signals::Taken()), outcome);
        }
        return Fail(esFailedStep,
                    outcome.empty() ? std::string("the workflow did not complete") : outcome);
    }

    int Program() {
        if (int status = CheckSourceFile(); status != esComplete) return status;
        if (int status = Detect(); status != esComplete) return status;
        return RunWorkflow([this] { FLink->ProgramFromFile(FOptions.file); });
    }

    int Read() {
        if (int status = CheckDestination(); status != esComplete) return status;
        if (int status = Detect(); status != esComplete) return status;
        return RunWorkflow([this] { FLink->ReadToFile(FOptions.file); });
    }

    const TCliOptions& FOptions;
    std::FILE* FOut;
    std::FILE* FErr;
    TTerminalView FView;
    bool FBusy = false;
    // Set once a port error is on stderr. Declared before the link, which
    // may report through the port's dispatcher while it goes.
    bool FPortErrorShown = false;
    std::unique_ptr<TProgrammerLink> FLink;
};

}  // namespace

int RunCli(const std::vector<std::string>& args, std::FILE* out, std::FILE* err, bool terminal) {
    TCliOptions options;
    try {
        options = ParseCommandLine(args);
    } catch (const EUsage& e) {
        std::fprintf(err, "corvane-cli: %s\nTry 'corvane-cli --help'.\n", e.what());
        return esUsage;
    }
    if (options.help) {
        std::fputs(UsageText().c_str(), out);
        return esComplete;
    }
    if (options.version) {
        std::fprintf(out, "corvane-cli %s\n", CORVANE_VERSION);
        return esComplete;
    }
    TCliProgram program(options, out, err, terminal);
    return program.Run();
}

}  // namespace corvane::cli
