#include "StationLog.h"

#include <cstdio>
#include <ctime>
#include <stdexcept>

#include "Exception.h"

namespace corvane::cli {

namespace {

constexpr const char* kHeader = "time,port,chip,file,checksum,serial,result,status,seconds";

TAppendFile OpenLog(const std::string& path) try {
    return TAppendFile(path);
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

}  // namespace

std::string CsvField(std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
    std::string field = "\"";
    for (char c : text) {
        if (c == '"') field += '"';
        field += c;
    }
    return field + "\"";
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

TStationLog::TStationLog(const std::string& path) : FPath(path), FFile(OpenLog(path)) {
    // A row cut short by a pulled plug ends here, so the next starts a line.
    if (!FFile.EndedInLineEnd()) Write("\r\n");
    if (FFile.InitialSize() == 0) Write(std::string(kHeader) + "\r\n");
}

void TStationLog::Append(const TStationRow& row) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", row.Seconds);
    const std::string text =
        LocalTimeText(row.Time) + "," + CsvField(row.Port) + "," + CsvField(row.Chip) + "," +
        CsvField(row.File) + "," + CsvField(row.Checksum) + "," + CsvField(row.Serial) + "," +
        CsvField(row.Result) + "," + std::to_string(row.Status) + "," + seconds + "\r\n";
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

}  // namespace corvane::cli
