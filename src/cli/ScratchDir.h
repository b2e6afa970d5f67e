#pragma once

#include <string>

namespace corvane::cli {

// A private directory under $TMPDIR (or /tmp) for the files that stand in for
// standard input and output: the HEX text read from a pipe, the read-back
// before it goes to one. Removed with its files when it goes.
class TScratchDir {
public:
    // Raises std::system_error when the directory cannot be made.
    TScratchDir();
    ~TScratchDir();
    TScratchDir(const TScratchDir&) = delete;
    TScratchDir& operator=(const TScratchDir&) = delete;

    std::string File(const std::string& name) const { return FDir + "/" + name; }

private:
    std::string FDir;
};

}  // namespace corvane::cli
