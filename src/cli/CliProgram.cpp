#include "CliProgram.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <thread>

#include "CPort.h"
#include "CliOptions.h"
#include "Console.h"
#include "Exception.h"
#include "ExitStatus.h"
#include "FileName.h"
#include "ImageFile.h"
#include "ImageSource.h"
#include "LineTrace.h"
#include "MultiBoard.h"
#include "PortEnum.h"
#include "PortMap.h"
#include "PortScreen.h"
#include "ProbeBoard.h"
#include "ProgrammerLink.h"
#include "ScratchDir.h"
#include "StationTerminal.h"
#include "StopSignals.h"
#include "TerminalView.h"
#include "UHexFile.h"

namespace corvane::cli {

namespace {

// Detection runs poll cycles as the window's timer does, one interval apart,
// and gives up after this many.
constexpr int kDetectCycles = 3;
constexpr std::chrono::milliseconds kPollInterval(1000);

constexpr const char* kTryPrefix = "Try to connect by : ";
constexpr const char* kIdentifying = "Identify target chip ...";

// verify names at most this many differing addresses.
constexpr int kMaxDifferences = 10;

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

// Everything that `from` holds; false (errno set) when it cannot be read.
bool ReadStream(std::FILE* from, std::string& text) {
    char buf[8192];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, from)) > 0) text.append(buf, n);
    return std::ferror(from) == 0;
}

// Copies everything from `from` to `to`; false (errno set) when either fails.
bool CopyStream(std::FILE* from, std::FILE* to) {
    char buf[8192];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, from)) > 0) {
        if (std::fwrite(buf, 1, n, to) != n) return false;
    }
    return std::ferror(from) == 0 && std::fflush(to) == 0;
}

// "next greeting in 8 s, 3 unanswered (window)", or what a port without a
// search that runs can expect.
std::string NextGreeting(const std::map<std::string, TPublishedProbe>& schedules,
                         const std::string& port) {
    const auto at = schedules.find(port);
    if (at == schedules.end()) return "no search runs: greeted at once by the next";
    const TPublishedProbe& probe = at->second;
    if (probe.Programmer)
        return "greeted at every tick, a programmer's port (" + probe.Program + ")";
    const auto wait = std::chrono::duration_cast<std::chrono::seconds>(
        probe.Next - std::chrono::system_clock::now());
    const std::string when =
        wait.count() > 0 ? "in " + std::to_string(wait.count()) + " s" : "at the next tick";
    return "next greeting " + when + ", " + std::to_string(probe.Unanswered) + " unanswered (" +
           probe.Program + ")";
}

class TCliProgram {
public:
    TCliProgram(const TCliOptions& options, std::FILE* out, std::FILE* err, bool terminal)
        : FOptions(options),
          FOut(out),
          FErr(err),
          // When the HEX text goes to standard output, the status texts and
          // the progress go to standard error.
          FStatusOut(HexToStdout() ? err : out),
          FView(FStatusOut, err, HexToStdout() ? console::IsTerminal(err) : terminal,
                options.Quiet),
          FFile(options.File),
          FTerminal(terminal) {
        FView.SetFastVerifyChecked(options.Board.FastVerify);
        FView.SetLockChecked(options.Board.Lock);
        FView.SetMemSizeIndex(options.Board.MemSizeIndex);
    }

    TCliProgram(const TCliProgram&) = delete;
    TCliProgram& operator=(const TCliProgram&) = delete;

    int Run() {
        if (!FOptions.trace.empty()) {
            try {
                FTrace = TLineTrace::Open(FOptions.trace);
            } catch (const std::exception& e) {
                return Fail(esBadFile, e.what());
            }
        }
        switch (FOptions.command) {
            case TCommand::Detect:
                return Detect();
            case TCommand::Program:
                return Program();
            case TCommand::Read:
                return Read();
            case TCommand::Verify:
                return Verify();
            case TCommand::Erase:
                return Erase();
            case TCommand::BlankCheck:
                return BlankCheck();
            case TCommand::Ports:
                return Ports();
            case TCommand::Station:
                return Station();
            case TCommand::None:
                break;
        }
        return esUsage;
    }

private:
    bool StdStream() const { return FOptions.File == kStdStream; }
    bool HexToStdout() const { return FOptions.command == TCommand::Read && StdStream(); }
    // The file as messages name it.
    std::string FileLabel() const {
        if (!StdStream()) return FOptions.File;
        return HexToStdout() ? "standard output" : "standard input";
    }

    void Error(const std::string& message) {
        std::fprintf(FErr, "corvane-cli: %s\n", message.c_str());
        std::fflush(FErr);
    }

    int Fail(int status, const std::string& message) {
        FView.FinishPass();
        Error(message);
        return status;
    }

    // Runs poll cycles until a chip is known or the cycles are spent; prints
    // the chip and its port, or why there is none. The link and, for --port,
    // the private device map exist only from here on.
    int Detect() {
        std::optional<TSinglePortMap> map;
        if (!FOptions.Port.empty()) {
            try {
                map.emplace(FOptions.Port);
            } catch (const std::exception& e) {
                return Fail(esNoProgrammer, e.what());
            }
        }
        // From the first port on, a stop leaves the board at its prompt.
        stop_signals::FinishPassOnStop();
        FLink = std::make_unique<TProgrammerLink>(FView);
        FLink->SetSizeChoiceName(kSizeChoiceName);
        if (FTrace) FLink->SetLineTrace(FTrace);
        // A port the user named is greeted even when busy or excluded.
        if (map) {
            TPortScreen screen;
            screen.Enabled = false;
            FLink->SetPortScreen(screen);
        }
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

        // The ports the last cycle that greeted any tried (a silent port
        // waits its turn: a cycle may greet none).
        std::vector<std::string> tried;
        std::vector<std::string> triedNow;
        bool answered = false;
        FView.OnStatus = [&](const std::string& text) {
            if (text.rfind(kTryPrefix, 0) == 0)
                triedNow.push_back(text.substr(std::strlen(kTryPrefix)));
            if (text == kIdentifying) answered = true;
        };
        for (int cycle = 0; cycle < kDetectCycles && FLink->ChipKind() == ckNone; ++cycle) {
            if (cycle > 0) stop_signals::SleepUnlessTaken(kPollInterval);
            if (stop_signals::Taken() != 0) break;
            triedNow.clear();
            answered = false;
            Poll();
            if (!triedNow.empty() || cycle == 0) tried = triedNow;
        }
        FView.OnStatus = nullptr;
        if (int signal = stop_signals::Taken()) return Fail(StoppedStatus(signal), kStoppedText);

        const TChipKind kind = FLink->ChipKind();
        if (kind == ckNone) {
            if (answered) {
                return Fail(esNoProgrammer, "the programmer on " + FLink->ComPort().Port() +
                                                " holds no chip that is known (empty socket?)");
            }
            std::string list;
            for (const auto& port : tried) list += (list.empty() ? "" : ", ") + port;
            // Ports refused for lack of permission: which, why and the fix.
            if (const std::string advice = PermissionAdvice(FLink->PortChecks()); !advice.empty()) {
                return Fail(
                    esNoProgrammer,
                    (list.empty() ? "" : "no programmer answered on " + list + "\n") + advice);
            }
            if (!list.empty()) return Fail(esNoProgrammer, "no programmer answered on " + list);
            if (!FOptions.Port.empty()) return Fail(esNoProgrammer, PortProblem(FOptions.Port));
            std::string why = FLink->LastStatus().empty()
                                  ? std::string("no serial port could be opened")
                                  : FLink->LastStatus();
            // Listed ports that the search left alone, and why.
            std::string skipped;
            for (const TPortCheck& check : FLink->PortChecks()) {
                if (check.Verdict == TPortVerdict::Scan) continue;
                skipped += (skipped.empty() ? "" : "; ") + check.Port + " " + VerdictText(check);
            }
            if (!skipped.empty()) why += " Left alone: " + skipped;
            return Fail(esNoProgrammer, why);
        }

        // What the window's display refresh does for the chip it shows.
        FView.SetFastVerifyEnabled(kind != ck89C2051);
        if (kind == ck89C2051) FLink->ApplyMemSizeChoice();

        const std::string found = ChipLabel(kind) + " on " + FLink->ComPort().Port();
        if (FOptions.command == TCommand::Detect || !FOptions.Quiet) {
            std::fprintf(FStatusOut, "%s\n", found.c_str());
            std::fflush(FStatusOut);
        }
        if (kind != ck89C2051 && FOptions.SizeGiven) {
            std::fprintf(FErr, "corvane-cli: --size applies to a 2051/4051; the %s has %u bytes\n",
                         ChipLabel(kind).c_str(), static_cast<unsigned>(ChipMemSize(kind)));
        }
        if (kind == ck89C2051 && FOptions.Board.FastVerify) {
            std::fprintf(FErr,
                         "corvane-cli: a 2051/4051 has no checksum: verifying by read-back\n");
        }
        return esComplete;
    }

    // Lists every port of the system's list and whether the search would
    // greet it, and if not, why. Opens no port.
    int Ports() {
        std::vector<std::string> ports;
        try {
            ListSerialPorts(ports);
        } catch (const std::exception& e) {
            return Fail(esNoProgrammer, std::string("the list of serial ports: ") + e.what());
        }
        std::string settingsProblem;
        const std::vector<TPortCheck> checks = CheckPorts(ports, TPortScreen{}, &settingsProblem);
        if (!settingsProblem.empty()) {
            std::fprintf(FErr, "corvane-cli: %s (nothing excluded)\n", settingsProblem.c_str());
        }
        // When the searches that run now (the window, a station, --count)
        // greet each port next: they publish their schedules.
        const std::map<std::string, TPublishedProbe> schedules = ReadProbeBoards();
        std::size_t width = 0;
        for (const TPortCheck& check : checks) width = std::max(width, check.Port.size());
        for (const TPortCheck& check : checks) {
            std::string text = VerdictText(check);
            if (check.Verdict == TPortVerdict::Scan)
                text += "; " + NextGreeting(schedules, check.Port);
            std::fprintf(FOut, "%-*s  %s\n", static_cast<int>(width), check.Port.c_str(),
                         text.c_str());
        }
        if (checks.empty()) std::fprintf(FOut, "no serial ports are listed\n");
        if (const std::string advice = PermissionAdvice(checks); !advice.empty()) {
            std::fprintf(FOut, "\n%s\n", advice.c_str());
        }
        std::fflush(FOut);
        return esComplete;
    }

    // What the command runs on every programmer that answers with.
    TMultiBoardRun BoardsRun() const {
        TMultiBoardRun run;
        run.Options = &FOptions;
        run.Image = &FImage;
        run.FileLength = FFileLength;
        run.Trace = FTrace;
        run.Out = FStatusOut;
        run.Err = FErr;
        run.Terminal = FTerminal;
        return run;
    }

    // The command on every programmer that answers (--all).
    int RunOnAll() { return RunOnEveryBoard(BoardsRun()); }

    void Poll() {
        if (FBusy || !FView.PollTimerEnabled()) return;
        TBusyScope busy(FBusy);
        FLink->PollProgrammer(stop_signals::Token());
    }

    // Reads the file, once (a pipe or a terminal can be read only once),
    // before the programmer is looked for, so that a file that is missing,
    // malformed or empty is reported at once. The link fits the image to the
    // chip's size.
    int LoadSourceFile(const char* noData) {
        std::string bytes;
        if (StdStream()) {
            console::UseBinaryMode(stdin);
            if (!ReadStream(stdin, bytes)) {
                return Fail(esBadFile, "standard input: " + std::string(std::strerror(errno)));
            }
        }
        const station::TImageSource source{FileLabel(), FFile, StdStream() ? &bytes : nullptr,
                                           FileFormat(FOptions), FOptions.Format.has_value()};
        if (const std::string problem = station::ReadImageSource(source, FImage, FFileLength);
            !problem.empty()) {
            return Fail(esBadFile, problem);
        }
        // verify compares every byte of a raw binary file, 0xFF included.
        const bool compared = FOptions.command == TCommand::Verify && FFileLength > 0;
        if (!compared && TProgrammerLink::LastDataIndex(FImage) < 0) {
            return Fail(esBadFile, FileLabel() + ": " + noData);
        }
        return esComplete;
    }

    // The read-back is saved only after the whole chip has been read: a
    // destination that cannot be written is reported before.
    int CheckDestination() {
        namespace fs = std::filesystem;
        if (StdStream()) {
            // Saved into a file of our own first, then copied to the pipe.
            try {
                FScratch.emplace();
            } catch (const std::exception& e) {
                return Fail(esBadFile, e.what());
            }
            FFile =
                FScratch->File(FileFormat(FOptions) == TImageFormat::Bin ? "read.bin" : "read.hex");
            return esComplete;
        }
        const fs::path path = PathOf(FOptions.File);
        std::error_code ec;
        if (fs::is_directory(path, ec)) return Fail(esBadFile, FOptions.File + ": Is a directory");
        const fs::path dir = path.has_parent_path() ? path.parent_path() : fs::path(".");
        if (const std::string problem = DirWriteProblem(NameOf(dir)); !problem.empty()) {
            return Fail(esBadFile, FOptions.File + ": " + problem);
        }
        return esComplete;
    }

    // Runs a workflow with the busy flag set and turns its outcome into the
    // exit status. `details` adds what a failed step's text alone does not say.
    template <typename TWorkflow>
    int RunWorkflow(TWorkflow workflow, std::function<void()> details = nullptr) {
        if (int signal = stop_signals::Taken()) return Fail(StoppedStatus(signal), kStoppedText);
        TOutcome outcome;
        try {
            TBusyScope busy(FBusy);
            outcome = workflow();
        } catch (const EComPort& e) {
            FPortErrorShown = true;
            return Fail(esPortError, FLink->ComPort().Port() + ": " + e.what());
        } catch (const Exception& e) {
            // The HEX reader and writer, and the file system under them.
            return Fail(esBadFile, FileLabel() + ": " + e.what());
        } catch (const std::exception& e) {
            return Fail(esPortError, e.what());
        }
        FView.FinishPass();
        const int status = ExitStatusFor(outcome, CurrentStopStatus());
        if (status == esComplete) return status;
        Fail(status, outcome.Text);
        if (status == esFailedStep && details) details();
        return status;
    }

    int Program() {
        if (int status = LoadSourceFile("No data to program!"); status != esComplete) return status;
        if (FOptions.all) return RunOnAll();
        if (int status = Detect(); status != esComplete) return status;
        return RunWorkflow(
            [this] { return FLink->ProgramFromImage(FImage, stop_signals::Token(), FFileLength); });
    }

    int Read() {
        if (int status = CheckDestination(); status != esComplete) return status;
        if (int status = Detect(); status != esComplete) return status;
        const int status = RunWorkflow([this] {
            return FLink->ReadToFile(FFile, stop_signals::Token(), FileFormat(FOptions));
        });
        if (status != esComplete || !HexToStdout()) return status;
        std::FILE* saved = OpenFile(FFile, "rb");
        if (saved == nullptr) return Fail(esBadFile, FFile + ": " + std::strerror(errno));
        console::UseBinaryMode(FOut);
        const bool copied = CopyStream(saved, FOut);
        const int error = errno;
        std::fclose(saved);
        if (!copied)
            return Fail(esBadFile, "standard output: " + std::string(std::strerror(error)));
        return esComplete;
    }

    // A production station: every chip seated on any programmer, in a loop.
    int Station() {
        if (const std::string problem = station::LoadStationFile(FOptions, FImage, FFileLength);
            !problem.empty()) {
            return Fail(esBadFile, problem);
        }
        return RunStation(BoardsRun());
    }

    int Verify() {
        if (int status = LoadSourceFile("No data to verify!"); status != esComplete) return status;
        if (FOptions.all) return RunOnAll();
        if (int status = Detect(); status != esComplete) return status;
        return RunWorkflow(
            [this] { return FLink->VerifyWithImage(FImage, stop_signals::Token(), FFileLength); },
            [this] { ShowDifferences(); });
    }

    // The first differing addresses with the file's and the chip's byte.
    void ShowDifferences() {
        const std::uint16_t count = FLink->CheckedCount();
        const THexFile& file = FLink->SourceImage();
        const THexFile& chip = FLink->ReadImage();
        int differing = 0;
        for (std::uint32_t i = 0; i < count; ++i) {
            const auto address = static_cast<std::uint16_t>(i);
            const std::uint8_t want = file.GetByte(address);
            const std::uint8_t have = chip.GetByte(address);
            if (want == have) continue;
            if (++differing <= kMaxDifferences) {
                Error("address " + Hex(address, 4) + ": file " + Hex(want, 2) + ", chip " +
                      Hex(have, 2));
            }
        }
        if (differing > 0) {
            Error(std::to_string(differing) + " of " + std::to_string(count) + " bytes differ");
        }
    }

    int Erase() {
        if (FOptions.all) return RunOnAll();
        if (int status = Detect(); status != esComplete) return status;
        return RunWorkflow([this] { return FLink->EraseOnly(stop_signals::Token()); });
    }

    int BlankCheck() {
        if (FOptions.all) return RunOnAll();
        if (int status = Detect(); status != esComplete) return status;
        return RunWorkflow([this] { return FLink->BlankCheck(stop_signals::Token()); },
                           [this] { ShowFirstNotBlank(); });
    }

    void ShowFirstNotBlank() {
        const THexFile& chip = FLink->ReadImage();
        for (std::uint32_t i = 0; i < FLink->CheckedCount(); ++i) {
            const auto address = static_cast<std::uint16_t>(i);
            if (chip.GetByte(address) != 0xFF) {
                Error("address " + Hex(address, 4) + " holds " + Hex(chip.GetByte(address), 2) +
                      ", the first byte that is not FF");
                return;
            }
        }
    }

    const TCliOptions& FOptions;
    std::FILE* FOut;
    std::FILE* FErr;
    std::FILE* FStatusOut;  // status texts and the detect result
    TTerminalView FView;
    // The HEX file named; for a read to standard output the read-back in
    // FScratch.
    std::string FFile;
    std::optional<TScratchDir> FScratch;
    bool FTerminal;  // standard output is a terminal
    // What program and verify load, before any port is opened; a raw binary
    // file's length (0 for HEX text).
    THexFile FImage;
    std::size_t FFileLength = 0;
    std::shared_ptr<TLineTrace> FTrace;
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
