#pragma once

#include <string>

// Whole files read in one piece, as they are on disk (no line-end
// translation): the settings file, HEX files. FileReplace.h replaces them.
// Each platform has its own (TextFile_posix.cpp, TextFile_win.cpp).
namespace corvane {

// Reads the whole file. A file that does not exist gives false and an empty
// text; any other failure raises EInOutError with the system's error number
// and text.
bool ReadTextFile(const std::string& FileName, std::string& Text);

// Reads the whole file; every failure, a file that does not exist too, raises
// EInOutError with the system's error number and text.
std::string ReadWholeFile(const std::string& fileName);

}  // namespace corvane
