#pragma once

#include <cstdio>
#include <string>
#include <vector>

// What corvane-cli needs of the terminal and of the standard streams, one
// source per system (Console_posix.cpp, Console_win.cpp).
namespace corvane::cli::console {

// Status lines go out as they are written, and a reader that went away
// makes a write fail (the program passes over it) instead of ending the
// program.
void PrepareStandardStreams();

// The program's arguments after its name, file names in UTF-8 (on Windows
// taken from the wide command line, so that any name comes through).
std::vector<std::string> Arguments(int argc, char** argv);

// Whether `stream` is a terminal (a console on Windows), where the progress
// bar is drawn.
bool IsTerminal(std::FILE* stream);

// The width of the terminal `stream` in columns; 0 when it is not known.
int Columns(std::FILE* stream);

// Whether the terminal `stream` acts on ANSI escape sequences (the bar's
// "erase the rest of the line", the board lines' "cursor up"); on Windows
// the console is asked to, which consoles of Windows 10 and later do.
bool TakesEscapes(std::FILE* stream);

// `stream` passes bytes as they are: no CR added before a line feed, none
// taken away, no end at Ctrl+Z (a HEX file's CR LF stays as it is).
void UseBinaryMode(std::FILE* stream);

}  // namespace corvane::cli::console
