#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "BoardRun.h"
#include "ImageFile.h"
#include "SerialNumber.h"

namespace corvane::cli {

// The exit statuses of corvane-cli (BoardRun.h); a run stopped by a signal
// ends with StoppedStatus(signal) (StopSignals.h).
using station::TExitStatus;
using enum station::TExitStatus;
using station::ParseSerialFormat;
using station::ParseSerialValue;
using station::TSerialFormat;

enum class TCommand { None, Detect, Program, Read, Verify, Erase, BlankCheck, Ports, Station };

// The FILE argument that stands for standard input (program, verify) or
// standard output (read).
inline constexpr const char* kStdStream = "-";

// The option that gives a 2051/4051 its 4 KB (a file too long for 2 KB says it).
inline constexpr const char* kSizeChoiceName = "--size 4K";

// The station's log when --log names none, in the current folder.
inline constexpr const char* kDefaultLog = "corvane-station.csv";

struct TCliOptions {
    TCommand command = TCommand::None;
    std::string file;
    // --format: HEX text or raw binary, whatever the file's name; unset: the
    // name decides (FileFormat).
    std::optional<TImageFormat> format;
    std::string port;   // empty: scan the system's list of serial ports
    std::string trace;  // empty: no trace of the line
    bool fastVerify = false;
    bool lock = false;
    bool sizeGiven = false;
    int memSizeIndex = 0;  // 0 = 2 KB, 1 = 4 KB (the "Code Memory" of a 2051/4051)
    bool quiet = false;
    // --all: every programmer that answers, each board on its own thread.
    bool all = false;
    int count = 0;       // --count: wait until this many answer (0: do not wait)
    double timeout = 0;  // --timeout: seconds that bound that wait (0: none)
    // station: every chip seated on any programmer, until Ctrl+C.
    int chips = 0;  // --chips: end after this many good chips (0: no end)
    bool serial = false;
    std::uint32_t serialAddress = 0;
    std::uint64_t serialStart = 0;
    TSerialFormat serialFormat;
    bool serialOverwrite = false;
    std::string log;  // --log (empty: kDefaultLog)
    bool bell = true;
    bool help = false;
    bool version = false;
};

class EUsage : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The format of the file named: --format's, else the one its name gives
// (standard input and output: HEX).
TImageFormat FileFormat(const TCliOptions& options);

// Reads the command line (argv[0] excluded). Raises EUsage with a one-line
// reason when it is wrong. --help and --version need no command.
TCliOptions ParseCommandLine(const std::vector<std::string>& args);

// The text of --help.
std::string UsageText();

}  // namespace corvane::cli
