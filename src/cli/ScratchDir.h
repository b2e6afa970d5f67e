#pragma once

#include <string>

namespace corvane::cli {

// A private directory under $TMPDIR (or /tmp; %TEMP% on Windows) for the
// files of one run: the read-back before it goes to standard output, the
// device map of --port. Removed with its files when it goes, or by
// RemoveScratchDirs.
class TScratchDir {
public:
    // Raises an exception that says why when the directory cannot be made.
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

// The system's part, one source per system (ScratchDir_posix.cpp,
// ScratchDir_win.cpp):

// Makes a new directory that only this user may use, in the folder for
// temporary files, and returns its path. Raises an exception that says why
// when none can be made.
std::string MakePrivateDir();

// Why no new file can be made in the directory `dir` (the system's text);
// empty when one can.
std::string DirWriteProblem(const std::string& dir);

}  // namespace corvane::cli
