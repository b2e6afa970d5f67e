#pragma once

// What the tests of corvane-cli share: a fixture with a device map, a
// temporary folder and a settings folder of the test's own, virtual
// programmers announced in the map, and HEX files.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "CliOptions.h"
#include "CliRunner.h"
#include "TempDir.h"
#include "UHexFile.h"
#include "VirtualProgrammer.h"

namespace corvane::test {

// Bytes that are never 0xFF, so the whole run is written.
inline std::vector<std::uint8_t> Pattern(std::size_t count, unsigned seed = 3) {
    std::vector<std::uint8_t> bytes(count);
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<std::uint8_t>((i * 7 + seed) % 255);
    return bytes;
}

inline sim::BoardOptions WithChip(const sim::Chip& chip) {
    sim::BoardOptions options;
    options.chip = chip;
    return options;
}

inline bool Logged(const sim::VirtualProgrammer& board, const std::string& entry) {
    const auto log = board.CommandLog();
    return std::find(log.begin(), log.end(), entry) != log.end();
}

class CliTest : public testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directory(FMap);
        std::filesystem::create_directory(FTmp);
    }

    std::unique_ptr<sim::VirtualProgrammer> Board(sim::BoardOptions options = {},
                                                  const std::string& entry = "board") {
        auto board = std::make_unique<sim::VirtualProgrammer>(std::move(options));
        board->Start();
        board->Announce(FMap, entry);
        return board;
    }

    // The test's own device map, temporary folder and settings folder.
    std::map<std::string, std::string> Env() const {
        return {{"CORVANE_SERIALCOMM", FMap}, {"TMPDIR", FTmp}, {"XDG_CONFIG_HOME", FConfig}};
    }

    CliResult Cli(const std::vector<std::string>& args, bool onTerminal = false) {
        return RunCli(args, Env(), FDir.Path(), onTerminal);
    }
    CliResult Cli(const std::vector<std::string>& args, const CliStreams& streams) {
        return RunCli(args, Env(), FDir.Path(), streams);
    }

    // The board answers at its prompt: a detect finds it.
    void ExpectBoardAtItsPrompt() {
        CliResult r = Cli({"detect", "-q"});
        EXPECT_EQ(r.status, cli::esComplete) << "detect after: " << r.err;
    }

    // A HEX file holding `bytes` from `base`, the rest of a `size` image blank.
    std::string HexFile(const std::string& name, const std::vector<std::uint8_t>& bytes,
                        std::uint16_t base = 0, std::uint16_t size = 4096) {
        THexFile image;
        image.SetMemSize(size);
        image.Clear();
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            image.SetByte(static_cast<std::uint16_t>(base + i), bytes[i]);
        }
        const std::string path = FDir.File(name);
        image.SaveHex(path);
        return path;
    }

    std::vector<std::uint8_t> LoadFile(const std::string& path, std::uint16_t size) {
        THexFile image;
        image.SetMemSize(size);
        image.LoadHex(path);
        return image.Data();
    }

    bool PrivateMapsLeft() const { return !std::filesystem::is_empty(FTmp); }

    TempDir FDir;
    std::string FMap = FDir.File("serialcomm");
    std::string FTmp = FDir.File("tmp");
    std::string FConfig = FDir.File("config");
};

}  // namespace corvane::test
