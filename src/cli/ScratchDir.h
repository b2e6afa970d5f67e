#pragma once

#include <string>

namespace corvane::cli {

// A private directory under $TMPDIR (or /tmp) for the files of one run: the
// read-back before it goes to standard output, the device map of --port.
// Removed with its files when it goes, or by RemoveScratchDirs.
class TScratchDir {
public:
    // Raises std::system_error when the directory cannot be made.
    TScratchDir();
    ~TScratchDir();
    TScratchDir(const TScratchDir&) = delete;
    TScratchDir& operator=(const TScratchDir&) = delete;

    const std::string& Path() const { return FDir; }
    std::string File(const std::string& name) const { return FDir + "/" + name; }

private:
    std::string FDir;
};

// Removes every scratch directory that exists, for a program that ends at
// once (a second Ctrl+C). Safe from any thread.
void RemoveScratchDirs();

}  // namespace corvane::cli
