#include "StationLog.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <stdexcept>

#include "DurableFile.h"
#include "Exception.h"
#include "SerialNumber.h"
#include "TextFile.h"

namespace corvane::station {

namespace {

constexpr const char* kBom = "\xEF\xBB\xBF";
constexpr const char* kHeader =
    "time,port,chip,file,checksum,serial,address,format,number,result,status,seconds";
// The "number" cell: whether the serial number is in the chip, or went back
// to the series because no byte of the chip was written.
constexpr const char* kUsed = "used";
constexpr const char* kGivenBack = "given back";

TAppendFile OpenLog(const std::string& path) try {
    return TAppendFile(path);
} catch (const Exception& e) {
    throw std::runtime_error(path + ": " + e.what());
}

// The log as it is before this station adds to it (empty when there is none).
std::string ReadLog(const std::string& path) try {
    std::string text;
    ReadTextFile(path, text);
    return text;
} catch (const Exception& e) {
    throw std::runtime_error(path + ": " + e.what());
}

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar.
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

long long SecondsOf(const std::tm& tm) {
    return DaysFromCivil(tm.tm_year + 1900LL, static_cast<unsigned>(tm.tm_mon + 1),
                         static_cast<unsigned>(tm.tm_mday)) *
               86400 +
           tm.tm_hour * 3600LL + tm.tm_min * 60LL + tm.tm_sec;
}

// The end of the last whole row of a CSV text: just past its last line end
// that stands outside quotes (0 when there is none).
std::size_t WholeRowsEnd(std::string_view text) {
    bool quoted = false;
    std::size_t end = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '"') quoted = !quoted;
        if (text[i] == '\n' && !quoted) end = i + 1;
    }
    return end;
}

// A torn last row (a power loss in the middle of an append) is cut back, so
// that the next row starts a line and no quote is left open. What was cut.
std::string CutBackTornRow(const std::string& path, std::string& text) {
    std::size_t whole = WholeRowsEnd(text);
    if (whole == text.size()) return {};
    std::string torn = text.substr(whole);
    try {
        std::filesystem::resize_file(path, whole);
    } catch (const std::exception& e) {
        throw std::runtime_error(path + ": cannot cut back its torn last row: " + e.what());
    }
    text.resize(whole);
    return torn;
}

}  // namespace

std::string CsvField(std::string_view cell) {
    std::string text(cell);
    if (!text.empty() && std::string_view("=+-@\t\r").find(text[0]) != std::string_view::npos) {
        text.insert(0, 1, '\'');
    }
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string field = "\"";
    for (char c : text) {
        if (c == '"') field += '"';
        field += c;
    }
    return field + "\"";
}

std::vector<std::vector<std::string>> ReadCsv(std::string_view text) {
    if (text.starts_with(kBom)) text.remove_prefix(3);
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> row(1);
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        std::string& field = row.back();
        if (quoted) {
            if (c != '"') {
                field += c;
            } else if (i + 1 < text.size() && text[i + 1] == '"') {
                field += text[++i];
            } else {
                quoted = false;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            row.emplace_back();
        } else if (c == '\n') {
            if (!field.empty() && field.back() == '\r') field.pop_back();
            rows.push_back(std::move(row));
            row.assign(1, std::string());
        } else {
            field += c;
        }
    }
    return rows;
}

std::string LocalTimeText(std::chrono::system_clock::time_point time) {
    const std::time_t t = std::chrono::system_clock::to_time_t(time);
    std::tm local{};
    std::tm utc{};
    localtime_r(&t, &local);
    gmtime_r(&t, &utc);
    // The offset from the two broken-down times: portable, unlike %z.
    const long long offset = (SecondsOf(local) - SecondsOf(utc)) / 60;
    const long long minutes = offset < 0 ? -offset : offset;
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02lld:%02lld",
                  local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec, offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
    return text;
}

TStationLog::TStationLog(const std::string& path)
    : FPath(path),
      FOpened(ReadLog(path)),
      FTorn(CutBackTornRow(path, FOpened)),
      FFile(OpenLog(path)) {
    ReadUsed();
    if (FFile.InitialSize() == 0) {
        Write(std::string(kBom) + kHeader + "\r\n");
        try {
            SyncFolderOf(FPath);
        } catch (const std::exception& e) {
            throw std::runtime_error(FPath + ": " + e.what());
        }
    }
}

void TStationLog::ReadUsed() {
    const auto rows = ReadCsv(FOpened);
    if (rows.empty()) return;
    const auto& header = rows.front();
    auto column = [&](const char* name) {
        const auto at = std::find(header.begin(), header.end(), name);
        if (at == header.end()) {
            throw std::runtime_error(FPath + ": not a station's log (it has no \"" +
                                     std::string(name) + "\" column); choose another log");
        }
        return static_cast<std::size_t>(at - header.begin());
    };
    const std::size_t serial = column("serial");
    const std::size_t number = column("number");
    for (std::size_t i = 1; i < rows.size(); ++i) {
        const auto& row = rows[i];
        // A row that is not whole may hide a number in a chip: the log is
        // not read half.
        if (row.size() != header.size()) {
            throw std::runtime_error(
                FPath + ": row " + std::to_string(i + 1) + " has " + std::to_string(row.size()) +
                " cells, not " + std::to_string(header.size()) + "; the log cannot be read whole");
        }
        if (row[number] != kUsed) continue;
        if (const auto value = ParseSerialValue(row[serial], UINT64_MAX)) FUsed.insert(*value);
    }
}

void TStationLog::Append(const TStationRow& row) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", row.Seconds);
    const std::string text =
        LocalTimeText(row.Time) + "," + CsvField(row.Port) + "," + CsvField(row.Chip) + "," +
        CsvField(row.File) + "," + CsvField(row.Checksum) + "," + CsvField(row.Serial) + "," +
        CsvField(row.SerialAt) + "," + CsvField(row.Format) + "," +
        (row.Serial.empty() ? ""
         : row.SerialUsed   ? kUsed
                            : kGivenBack) +
        "," + CsvField(row.Result) + "," + std::to_string(row.Status) + "," + seconds + "\r\n";
    std::lock_guard lock(FMutex);
    Write(text);
}

void TStationLog::Write(const std::string& text) {
    try {
        FFile.Append(text);
    } catch (const Exception& e) {
        throw std::runtime_error(FPath + ": " + e.what());
    }
}

}  // namespace corvane::station
