#include "PortMap.h"

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "DeviceMap.h"

namespace corvane::cli {

namespace {

constexpr const char* kEntryName = "port";

// What a signal handler removes: plain buffers, filled before the handlers
// are installed, so that the handler only calls unlink and rmdir.
char gEntryPath[4096];
char gDirPath[4096];
struct sigaction gOldActions[3];
constexpr int kSignals[3] = {SIGINT, SIGTERM, SIGHUP};

void RemoveOnSignal(int sig) {
    unlink(gEntryPath);
    rmdir(gDirPath);
    signal(sig, SIG_DFL);
    raise(sig);
}

std::string TempRoot() {
    const char* tmp = std::getenv("TMPDIR");
    return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

}  // namespace

TSinglePortMap::TSinglePortMap(const std::string& port) {
    std::string pattern = TempRoot() + "/corvane-cli-XXXXXX";
    if (pattern.size() + std::strlen(kEntryName) + 2 > sizeof gEntryPath) {
        throw std::system_error(ENAMETOOLONG, std::generic_category(), pattern);
    }
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
    }
    FDir = pattern;
    if (int err = device::AnnouncePort(FDir, kEntryName, port); err != 0) {
        rmdir(FDir.c_str());
        throw std::system_error(err, std::generic_category(), "device map entry for " + port);
    }
    const std::string entry = FDir + "/" + kEntryName;
    std::strncpy(gEntryPath, entry.c_str(), sizeof gEntryPath - 1);
    std::strncpy(gDirPath, FDir.c_str(), sizeof gDirPath - 1);
    struct sigaction action {};
    action.sa_handler = RemoveOnSignal;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &action, &gOldActions[i]);

    if (const char* old = std::getenv("CORVANE_SERIALCOMM")) {
        FHadOverride = true;
        FOldOverride = old;
    }
    setenv("CORVANE_SERIALCOMM", FDir.c_str(), 1);
}

TSinglePortMap::~TSinglePortMap() {
    if (FHadOverride) {
        setenv("CORVANE_SERIALCOMM", FOldOverride.c_str(), 1);
    } else {
        unsetenv("CORVANE_SERIALCOMM");
    }
    device::WithdrawPort(FDir, kEntryName);
    rmdir(FDir.c_str());
    for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &gOldActions[i], nullptr);
}

}  // namespace corvane::cli
