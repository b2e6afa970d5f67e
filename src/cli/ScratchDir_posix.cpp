#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "ScratchDir.h"

namespace corvane::cli {

std::string MakePrivateDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/corvane-cli-XXXXXX";
    // Made with mode 0700.
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
    }
    return pattern;
}

std::string DirWriteProblem(const std::string& dir) {
    return access(dir.c_str(), W_OK | X_OK) == 0 ? std::string() : std::strerror(errno);
}

}  // namespace corvane::cli
