#include "ScratchDir.h"

#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <vector>

namespace corvane::cli {

namespace {

std::mutex gMutex;
std::vector<std::string> gDirs;  // guarded by gMutex

void Remove(const std::string& dir) {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

}  // namespace

TScratchDir::TScratchDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/corvane-cli-XXXXXX";
    std::lock_guard lock(gMutex);
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
    }
    FDir = pattern;
    gDirs.push_back(FDir);
}

TScratchDir::~TScratchDir() {
    std::lock_guard lock(gMutex);
    gDirs.erase(std::find(gDirs.begin(), gDirs.end(), FDir));
    Remove(FDir);
}

void RemoveScratchDirs() {
    std::lock_guard lock(gMutex);
    for (const std::string& dir : gDirs) Remove(dir);
}

}  // namespace corvane::cli
