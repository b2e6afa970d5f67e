#pragma once

#include <cstdio>
#include <string>

// What corvane-cli needs of the terminal and of the standard streams, one
// source per system (Console_posix.cpp, Console_win.cpp).
namespace corvane::cli::console {

// Status lines go out as they are written, and a reader that went away
// makes a write fail (the program passes over it) instead of ending the
// program.
void PrepareStandardStreams();

// Whether `stream` is a terminal (a console on Windows), where the progress
// bar is drawn.
bool IsTerminal(std::FILE* stream);

// The width of the terminal `stream` in columns; 0 when it is not known.
int Columns(std::FILE* stream);

// What erases the rest of the line on the terminal `stream` (an ANSI
// sequence), or nothing where the terminal does not take it.
std::string LineEraser(std::FILE* stream);

// `stream` passes bytes as they are: no CR added before a line feed, none
// taken away, no end at Ctrl+Z (a HEX file's CR LF stays as it is).
void UseBinaryMode(std::FILE* stream);

}  // namespace corvane::cli::console
