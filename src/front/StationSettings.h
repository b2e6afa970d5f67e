#pragma once

#include <memory>
#include <string>
#include <vector>

#include "FileDialogs.h"
#include "SettingsStore.h"
#include "StationRunner.h"

namespace corvane {

// The station dialog's values, as the user typed and ticked them; the window
// remembers them between runs (section [Station] of its settings file).
struct TStationSettings {
    std::string File;  // HEX or raw binary (a name ending in ".bin")
    std::string Log;   // the CSV log; empty: corvane-station.csv beside the file
    bool Serial = false;
    std::string SerialAddress = "0x0FF0";  // hexadecimal with or without 0x
    std::string SerialStart = "1";
    std::string SerialFormat = "le16";  // le16, be16, le32, be32, ascii:N
    bool SerialOverwrite = false;
    bool FastVerify = false;
    bool Lock = false;
    int MemSizeIndex = 0;  // a 2051/4051's Code Memory: 0 = 2KB, 1 = 4KB
    int Chips = 0;         // end after this many good chips (0: until stopped)
    bool Sound = true;     // a sound when a chip fails
};

// The formats the dialog offers for the serial number.
inline constexpr const char* kSerialFormats[] = {"le16", "be16", "le32", "be32", "ascii:6"};

// The log a station writes when none is named: beside the file.
std::string DefaultStationLog(const std::string& file);

// The settings file's values; absent ones keep theirs. Nothing is raised.
void LoadStationSettings(TIniAccess& ini, TStationSettings& settings);
// Raises the settings storage's errors.
void SaveStationSettings(TIniAccess& ini, const TStationSettings& settings);

// What the station starts with, from the settings: the file read, the serial
// number's place and series checked. Returns why it cannot (empty: ready).
std::string PrepareStation(const TStationSettings& settings, TStationSetup& setup);

// `corvane --station FILE [options]`: the words after --station, read as
// corvane-cli station reads them, and the file read.
struct TStationCommand {
    std::unique_ptr<TStationSetup> Setup;  // none when Error says why
    bool Sound = true;
    std::string Error;  // in corvane-cli's words
    int Status = 0;     // the exit status for Error (as corvane-cli's)
};
TStationCommand StationFromCommandLine(const std::vector<std::string>& args);

// The log's save dialog: CSV files, in the log's folder.
TFileRequest LogFileRequest(const std::string& log);

}  // namespace corvane
