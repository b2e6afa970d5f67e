#include "ScratchDir.h"

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <vector>

#include "FileName.h"

namespace corvane::cli {

namespace {

std::mutex gMutex;
std::vector<std::string> gDirs;  // guarded by gMutex

void Remove(const std::string& dir) {
    std::error_code ignored;
    std::filesystem::remove_all(PathOf(dir), ignored);
}

}  // namespace

TScratchDir::TScratchDir() {
    // Listed as soon as it exists, for a program that ends at once.
    std::lock_guard lock(gMutex);
    FDir = MakePrivateDir();
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
