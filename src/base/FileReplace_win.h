#pragma once

#include <windows.h>

namespace corvane {

// The system calls of a save whose failures the system seldom gives, called
// through here so that a test can stand in for them (FileReplace_win.cpp).
struct TSaveCalls {
    decltype(&::WriteFile) Write = &::WriteFile;
    decltype(&::FlushFileBuffers) Flush = &::FlushFileBuffers;
    decltype(&::ReplaceFileW) Replace = &::ReplaceFileW;
};
extern TSaveCalls gSaveCalls;

}  // namespace corvane
