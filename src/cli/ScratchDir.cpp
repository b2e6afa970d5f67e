#include "ScratchDir.h"

#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace corvane::cli {

TScratchDir::TScratchDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/corvane-cli-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
    }
    FDir = pattern;
}

TScratchDir::~TScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(FDir, ignored);
}

}  // namespace corvane::cli
