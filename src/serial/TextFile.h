#pragma once

#include <string>

// Whole text files, read and replaced in one piece (the settings file). Each
// platform has its own file operations (TextFile_posix.cpp, TextFile_win.cpp).
namespace corvane {

// Reads the whole file, as it is on disk (no line-end translation). A file
// that does not exist gives false and an empty text; any other failure raises
// EInOutError with the system's error number and text.
bool ReadTextFile(const std::string& FileName, std::string& Text);

// Replaces the file with Text: it is written beside the file and then put in
// its place, so that a reader never sees half a file and a failure leaves
// the old file as it was (raised as EInOutError). The file keeps its
// permissions; on POSIX a symbolic link is followed and the file it names is
// replaced.
void ReplaceTextFile(const std::string& FileName, const std::string& Text);

}  // namespace corvane
