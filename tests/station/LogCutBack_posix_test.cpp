// A row that the disk cannot take whole is cut back: the log ends in its last
// whole row. A file size limit stands in for a full disk (the system then
// writes what fits and fails the rest).

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "StationLog.h"
#include "TempDir.h"

namespace corvane::test {
namespace {

TEST(StationLogTest, ARowThatCannotBeWrittenWholeIsCutBack) {
    TempDir dir;
    const std::string path = dir.File("log.csv");
    station::TStationLog log(path);
    station::TStationRow row;
    row.File = "a.hex";
    row.Result = "Complete!";
    log.Append(row);
    const auto whole = std::filesystem::file_size(path);

    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    // Past the limit a write fails with EFBIG instead of ending the process.
    const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit limited = old;
    limited.rlim_cur = whole + 20;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    row.File = std::string(100, 'x') + ".hex";
    EXPECT_THROW(log.Append(row), std::runtime_error);
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(std::filesystem::file_size(path), whole);
    row.File = "b.hex";
    log.Append(row);
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    const auto rows = station::ReadCsv(text.str());
    ASSERT_EQ(rows.size(), 3u) << text.str();
    EXPECT_EQ(rows[2][3], "b.hex");
}

}  // namespace
}  // namespace corvane::test
