#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "TempDir.h"
#include "UHexFile.h"

namespace corvane::test {

namespace fs = std::filesystem;
using corvane::EHexFile;
using corvane::EInOutError;
using corvane::THexFile;

// HEX files in a folder of the test's own.
class HexFileTest : public ::testing::Test {
protected:
    void TearDown() override {
        // A test may have taken the folder's write permission away.
        fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add);
    }

    // Names with the folder's own separator, as the system gives paths.
    std::string Write(const std::string& name, const std::string& text) {
        const std::string path = (dir / name).string();
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // Loads text into a fresh image of `size` bytes; returns the EHexFile message or "".
    std::string Load(const std::string& text, std::uint16_t size = 256) {
        image = THexFile();
        image.SetMemSize(size);
        try {
            image.LoadHex(Write("in.hex", text));
        } catch (const EHexFile& e) {
            return e.what();
        }
        return "";
    }

    // Files in it go with it after the test.
    corvane::test::TempDir temp{"corvane-hex"};
    fs::path dir{temp.Path()};
    THexFile image;
};

}  // namespace corvane::test
