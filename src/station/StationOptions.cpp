#include "StationOptions.h"

#include <cstdint>

#include "ImageSource.h"
#include "ProgrammerLink.h"

namespace corvane::station {

namespace {

int ParseSize(const std::string& text) {
    if (text == "2K" || text == "2k" || text == "2KB") return 0;
    if (text == "4K" || text == "4k" || text == "4KB") return 1;
    throw EUsage("--size takes 2K or 4K, not '" + text + "'");
}

TImageFormat ParseFormat(const std::string& text) {
    if (text == "hex") return TImageFormat::Hex;
    if (text == "bin") return TImageFormat::Bin;
    throw EUsage("--format takes hex or bin, not '" + text + "'");
}

// ADDR=START of --serial, each in decimal or in hexadecimal with 0x.
void ParseSerial(const std::string& text, TSerialPlan& plan) {
    const auto eq = text.find('=');
    const auto address =
        eq == std::string::npos ? std::nullopt : ParseSerialValue(text.substr(0, eq), 0xFFFF);
    const auto start =
        eq == std::string::npos ? std::nullopt : ParseSerialValue(text.substr(eq + 1), 0xFFFFFFFF);
    if (!address || !start) {
        throw EUsage("--serial takes ADDR=START (decimal, or hexadecimal with 0x), not '" + text +
                     "'");
    }
    plan.Address = static_cast<std::uint32_t>(*address);
    plan.Start = *start;
}

// A file name as a value: neither empty nor standard input or output.
std::string FileValue(TArgReader& line) {
    std::string name = line.Value();
    if (name.empty() || name == kStdStream) throw EUsage(line.Name() + " needs a file name");
    return name;
}

}  // namespace

TImageFormat FileFormat(const TStationArgs& args) {
    if (args.Format) return *args.Format;
    return args.File == kStdStream ? TImageFormat::Hex : FormatOfName(args.File);
}

bool TStationOptionReader::Take(TArgReader& line) {
    const std::string& name = line.Name();
    if (name == "--quiet" || name == "-q") {
        line.NoValue();
        FArgs.Quiet = true;
    } else if (name == "--fast-verify") {
        line.NoValue();
        FArgs.Board.FastVerify = true;
    } else if (name == "--lock") {
        line.NoValue();
        FArgs.Board.Lock = true;
    } else if (name == "--size") {
        FArgs.Board.MemSizeIndex = ParseSize(line.Value());
        FArgs.SizeGiven = true;
    } else if (name == "--format") {
        FArgs.Format = ParseFormat(line.Value());
    } else if (name == "--port") {
        FArgs.Port = line.Value();
        if (FArgs.Port.empty()) throw EUsage("--port needs a path");
    } else if (name == "--chips") {
        FArgs.Chips = line.CountValue();
    } else if (name == "--serial") {
        ParseSerial(line.Value(), FSerial);
        FSerialGiven = true;
    } else if (name == "--serial-format") {
        const std::string format = line.Value();
        const auto parsed = ParseSerialFormat(format);
        if (!parsed) {
            throw EUsage("--serial-format takes le16, be16, le32, be32 or ascii:N, not '" + format +
                         "'");
        }
        FSerial.Format = *parsed;
        FSerialFormatGiven = true;
    } else if (name == "--serial-overwrite") {
        line.NoValue();
        FSerial.Overwrite = true;
    } else if (name == "--log") {
        FArgs.Log = FileValue(line);
        FLogGiven = true;
    } else if (name == "--no-bell") {
        line.NoValue();
        FArgs.Bell = false;
        FBellGiven = true;
    } else {
        return false;
    }
    return true;
}

const char* TStationOptionReader::StationOnlyOption() const {
    return FArgs.Chips > 0      ? "--chips"
           : FSerialGiven       ? "--serial"
           : FSerialFormatGiven ? "--serial-format"
           : FSerial.Overwrite  ? "--serial-overwrite"
           : FLogGiven          ? "--log"
           : FBellGiven         ? "--no-bell"
                                : nullptr;
}

void TStationOptionReader::CheckStation() {
    if (FArgs.File == kStdStream) {
        throw EUsage("station reads its image from a file, not from standard input");
    }
    if (!FSerialGiven && (FSerialFormatGiven || FSerial.Overwrite)) {
        throw EUsage(std::string(FSerialFormatGiven ? "--serial-format" : "--serial-overwrite") +
                     " belongs to --serial");
    }
    if (FSerialGiven) {
        if (FSerial.Start > FSerial.Format.Max()) {
            throw EUsage("--serial: " + std::to_string(FSerial.Start) +
                         " does not fit the serial format (at most " +
                         std::to_string(FSerial.Format.Max()) + ")");
        }
        if (FSerial.Address + static_cast<std::uint32_t>(FSerial.Format.Width()) > 0x10000) {
            throw EUsage("--serial: the number does not fit below address 10000 (hex)");
        }
        FArgs.Serial = FSerial;
    }
    // The default log too: the rows would go into the image.
    if (FArgs.Log == FArgs.File) throw EUsage("the log cannot go to the image file");
}

TStationCommandLine ParseStationCommandLine(const std::vector<std::string>& args) {
    TStationCommandLine result;
    try {
        TArgReader line(args);
        TStationOptionReader reader(result.Args);
        while (line.NextOption()) {
            if (!reader.Take(line)) throw EUsage("unknown option '" + line.Arg() + "'");
        }
        const std::vector<std::string>& words = line.Words();
        if (words.empty()) throw EUsage("station needs a file");
        if (words.size() > 1) throw EUsage("unexpected argument '" + words[1] + "'");
        result.Args.File = words[0];
        reader.CheckStation();
    } catch (const EUsage& e) {
        result.Args = {};
        result.Error = e.what();
    }
    return result;
}

std::string LoadStationFile(const TStationArgs& args, THexFile& image, std::size_t& fileLength) {
    const TImageSource source{args.File, args.File, nullptr, FileFormat(args),
                              args.Format.has_value()};
    if (std::string problem = ReadImageSource(source, image, fileLength); !problem.empty()) {
        return problem;
    }
    if (TProgrammerLink::LastDataIndex(image) < 0) return args.File + ": No data to program!";
    return {};
}

TStationOptions StationOptionsOf(const TStationArgs& args, const THexFile& image,
                                 std::size_t fileLength) {
    TStationOptions options;
    options.File = args.File;
    options.Image = &image;
    options.FileLength = fileLength;
    options.Log = args.Log;
    options.Board = args.Board;
    options.Chips = args.Chips;
    options.Serial = args.Serial;
    options.Port = args.Port;
    return options;
}

}  // namespace corvane::station
