#include "StationSettings.h"

#include <exception>

#include "ImageFile.h"
#include "ProgrammerLink.h"
#include "SerialNumber.h"
#include "StationOptions.h"
#include "TextFile.h"

namespace corvane {

namespace {

constexpr const char* kSection = "Station";

bool ReadFlag(TIniAccess& ini, const char* key, bool value) {
    return ini.ReadInteger(kSection, key, value ? 1 : 0) != 0;
}

}  // namespace

std::string DefaultStationLog(const std::string& file) {
    constexpr const char* kName = "corvane-station.csv";
    const std::string folder = FolderOf(file);
    if (folder.empty()) return kName;
#ifdef _WIN32
    constexpr const char* kSeparator = "\\";
#else
    constexpr const char* kSeparator = "/";
#endif
    const bool root = folder.back() == '/' || folder.back() == '\\';
    return folder + (root ? "" : kSeparator) + kName;
}

void LoadStationSettings(TIniAccess& ini, TStationSettings& s) {
    try {
        s.File = ini.ReadString(kSection, "File", s.File);
        s.Log = ini.ReadString(kSection, "Log", s.Log);
        s.Serial = ReadFlag(ini, "Serial", s.Serial);
        s.SerialAddress = ini.ReadString(kSection, "SerialAddress", s.SerialAddress);
        s.SerialStart = ini.ReadString(kSection, "SerialStart", s.SerialStart);
        s.SerialFormat = ini.ReadString(kSection, "SerialFormat", s.SerialFormat);
        s.SerialOverwrite = ReadFlag(ini, "SerialOverwrite", s.SerialOverwrite);
        s.FastVerify = ReadFlag(ini, "FastVerify", s.FastVerify);
        s.Lock = ReadFlag(ini, "Lock", s.Lock);
        s.MemSizeIndex = ini.ReadInteger(kSection, "MemSize", s.MemSizeIndex) == 1 ? 1 : 0;
        const int chips = ini.ReadInteger(kSection, "Chips", s.Chips);
        s.Chips = chips > 0 ? chips : 0;
        s.Sound = ReadFlag(ini, "Sound", s.Sound);
    } catch (const std::exception&) {
        // A settings file that cannot be read leaves the values as they were.
    }
}

void SaveStationSettings(TIniAccess& ini, const TStationSettings& s) {
    ini.WriteString(kSection, "File", s.File);
    ini.WriteString(kSection, "Log", s.Log);
    ini.WriteInteger(kSection, "Serial", s.Serial);
    ini.WriteString(kSection, "SerialAddress", s.SerialAddress);
    ini.WriteString(kSection, "SerialStart", s.SerialStart);
    ini.WriteString(kSection, "SerialFormat", s.SerialFormat);
    ini.WriteInteger(kSection, "SerialOverwrite", s.SerialOverwrite);
    ini.WriteInteger(kSection, "FastVerify", s.FastVerify);
    ini.WriteInteger(kSection, "Lock", s.Lock);
    ini.WriteInteger(kSection, "MemSize", s.MemSizeIndex);
    ini.WriteInteger(kSection, "Chips", s.Chips);
    ini.WriteInteger(kSection, "Sound", s.Sound);
}

std::string PrepareStation(const TStationSettings& s, TStationSetup& setup) {
    if (s.File.empty()) return "choose the file to program";
    station::TStationOptions& options = setup.Options;
    options.File = s.File;
    options.Log = s.Log.empty() ? DefaultStationLog(s.File) : s.Log;
    options.Board.FastVerify = s.FastVerify;
    options.Board.Lock = s.Lock;
    options.Board.MemSizeIndex = s.MemSizeIndex;
    options.Chips = s.Chips;
    if (s.Serial) {
        station::TSerialPlan plan;
        std::string address = s.SerialAddress;
        if (!address.starts_with("0x") && !address.starts_with("0X")) address = "0x" + address;
        const auto at = station::ParseSerialValue(address, 0xFFFF);
        if (!at) return "the serial number's address is no hexadecimal address: " + s.SerialAddress;
        plan.Address = static_cast<std::uint32_t>(*at);
        const auto format = station::ParseSerialFormat(s.SerialFormat);
        if (!format) return "the serial number's format is none of le16, be16, le32, be32, ascii:N";
        plan.Format = *format;
        const auto start = station::ParseSerialValue(s.SerialStart, format->Max());
        if (!start) {
            return "the serial number's start is no number that " + format->Name() +
                   " holds: " + s.SerialStart;
        }
        plan.Start = *start;
        plan.Overwrite = s.SerialOverwrite;
        options.Serial = plan;
    }
    const TImageFormat format = FormatOfName(s.File);
    try {
        setup.Image.SetMemSize(0xFFFF);
        if (format == TImageFormat::Bin) {
            // A file longer than any chip is refused by the link, with the
            // chip's size, as one just longer than the chip is.
            const std::string bytes = ReadWholeFile(s.File);
            LoadBinBytes(setup.Image, std::string_view(bytes).substr(0, setup.Image.MemSize()));
            options.FileLength = bytes.size();
        } else {
            setup.Image.LoadHex(s.File);
            options.FileLength = 0;
        }
    } catch (const std::exception& e) {
        return s.File + ": " + e.what();
    }
    if (options.FileLength == 0 && TProgrammerLink::LastDataIndex(setup.Image) < 0) {
        return s.File + ": holds no data";
    }
    return {};
}

TStationCommand StationFromCommandLine(const std::vector<std::string>& args) {
    TStationCommand command;
    const station::TStationCommandLine line = station::ParseStationCommandLine(args);
    if (!line.Error.empty()) {
        command.Error = line.Error;
        command.Status = station::esUsage;
        return command;
    }
    auto setup = std::make_unique<TStationSetup>();
    std::size_t length = 0;
    command.Error = station::LoadStationFile(line.Args, setup->Image, length);
    if (!command.Error.empty()) {
        command.Status = station::esBadFile;
        return command;
    }
    setup->Options = station::StationOptionsOf(line.Args, setup->Image, length);
    command.Setup = std::move(setup);
    command.Sound = line.Args.Bell;
    return command;
}

TFileRequest LogFileRequest(const std::string& log) {
    TFileRequest request;
    request.Kind = TFileDialog::Save;
    request.Filters = {TFileFilter{"CSV File", {"csv"}, "csv", std::nullopt},
                       TFileFilter{"All Files", {}, "", std::nullopt}};
    request.Folder = FolderOf(log);
    return request;
}

}  // namespace corvane
