#pragma once

#include <stdlib.h>
#ifdef _WIN32
#include <process.h>
#endif

#include <cerrno>
#include <filesystem>
#include <string>
#include <system_error>

namespace corvane::test {

// A private temporary directory for one test, removed with everything in it.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "corvane-test") {
#ifdef _WIN32
        // A name of this process's own; making the folder fails if it is taken.
        static unsigned counter = 0;
        for (;;) {
            const auto path =
                std::filesystem::temp_directory_path() /
                (prefix + "-" + std::to_string(_getpid()) + "-" + std::to_string(++counter));
            if (std::filesystem::create_directory(path)) {
                FPath = path.string();
                return;
            }
        }
#else
        std::string pattern =
            (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::system_error(errno, std::generic_category(), "mkdtemp");
        }
        FPath = pattern;
#endif
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(FPath, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const {
        return FPath;
    }
    std::string File(const std::string& name) const {
        return FPath + "/" + name;
    }

private:
    std::string FPath;
};

}  // namespace corvane::test
