#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "BoardRun.h"
#include "CommandLine.h"
#include "ImageFile.h"
#include "SerialNumber.h"
#include "Station.h"
#include "UHexFile.h"

// A station's command line, one parser for every host: the words after
// `corvane-cli station` and after `corvane --station`, so that both programs
// take the same options and say the same when one is wrong.
//
//   station FILE [--chips N] [--serial ADDR=START [--serial-format F]
//           [--serial-overwrite]] [--log FILE.csv] [--fast-verify] [--lock]
//           [--size 2K|4K] [--format hex|bin] [--port PATH] [--no-bell]
//           [-q|--quiet]
namespace corvane::station {

// The FILE that stands for standard input or output (corvane-cli's program,
// verify, read); a station refuses it.
inline constexpr const char* kStdStream = "-";

// The station's log when --log names none, in the current folder.
inline constexpr const char* kDefaultLog = "corvane-station.csv";

// What the command line gives. The options that corvane-cli's other commands
// share with the station (--format, --port, --fast-verify, --lock, --size,
// --quiet) are read into it for them too.
struct TStationArgs {
    std::string File;
    // --format: HEX text or raw binary, whatever the file's name; unset: the
    // name decides (FileFormat).
    std::optional<TImageFormat> Format;
    std::string Port;  // --port: this one only, also when busy or excluded
    TBoardOptions Board;
    bool SizeGiven = false;
    bool Quiet = false;  // no status texts (a terminal's)
    int Chips = 0;       // end after this many good chips (0: no end)
    std::optional<TSerialPlan> Serial;
    std::string Log = kDefaultLog;
    bool Bell = true;  // the bell (a window: its sound) on a chip that fails
};

// The format of the file named: --format's, else the one its name gives
// (standard input and output: HEX).
TImageFormat FileFormat(const TStationArgs& args);

// Reads the options of TStationArgs one by one, for a host that has options
// of its own besides (corvane-cli); ParseStationCommandLine reads a whole
// station command line with it. Raises EUsage.
class TStationOptionReader {
public:
    explicit TStationOptionReader(TStationArgs& args) : FArgs(args) {}

    // Takes the option `line` stands at; false when it is none of these.
    bool Take(TArgReader& line);
    // Once the whole line is read and FILE is in the args: the checks of a
    // station's command line; fills in the serial number's plan.
    void CheckStation();
    // The first option given that only a station takes, else nullptr.
    const char* StationOnlyOption() const;

private:
    TStationArgs& FArgs;
    bool FSerialGiven = false;
    TSerialPlan FSerial;
    bool FSerialFormatGiven = false;
    bool FLogGiven = false;
    bool FBellGiven = false;
};

struct TStationCommandLine {
    TStationArgs Args;
    // Why the command line is wrong, in corvane-cli's words (which it prints
    // after "corvane-cli: ", with exit status 2; Args then hold the
    // defaults); empty when it is right.
    std::string Error;
};

// FILE and the station's options in any order, nothing else: a window's
// words after --station.
TStationCommandLine ParseStationCommandLine(const std::vector<std::string>& args);

// Reads the station's file as corvane-cli station does (ReadImageSource):
// returns why it cannot, or holds no data to program, naming the file (exit
// status 3); empty when it was read.
std::string LoadStationFile(const TStationArgs& args, THexFile& image, std::size_t& fileLength);

// The station's options for `args`, with the file read by LoadStationFile
// (`image` must outlive the station).
TStationOptions StationOptionsOf(const TStationArgs& args, const THexFile& image,
                                 std::size_t fileLength);

}  // namespace corvane::station
