#pragma once

#include <cstdio>
#include <filesystem>
#include <string>

// Names are UTF-8 inside the program. These hand a name to the C library and
// to std::filesystem as this system takes it (on Windows through the wide
// calls, so that a name outside the code page stays what it is), and take it
// back. One source per system (FileName_posix.cpp, FileName_win.cpp).
namespace corvane {

std::filesystem::path PathOf(const std::string& name);
std::string NameOf(const std::filesystem::path& path);

// std::fopen for a UTF-8 name.
std::FILE* OpenFile(const std::string& name, const char* mode);

}  // namespace corvane
