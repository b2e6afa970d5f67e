#pragma once

#include <string>

// Whole text files read in one piece (the settings file; FileReplace.h
// replaces them). Each platform has its own (TextFile_posix.cpp, TextFile_win.cpp).
namespace corvane {

// Reads the whole file, as it is on disk (no line-end translation). A file
// that does not exist gives false and an empty text; any other failure raises
// EInOutError with the system's error number and text.
bool ReadTextFile(const std::string& FileName, std::string& Text);

}  // namespace corvane
