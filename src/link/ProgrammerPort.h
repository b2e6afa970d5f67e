#pragma once

#include <memory>

#include "CPort.h"
#include "LineTrace.h"

// The programmer's serial port: its line settings, the port object made with
// them, and its close after a failure.
namespace corvane {

// The line settings the programmer board needs: 9600 8N1, no flow control,
// DTR and RTS off, one-byte reads giving up after 1100 ms.
void ApplyProgrammerSettings(TComPort& port);

// A port object with the programmer's line settings and a dispatcher of its own.
std::unique_ptr<TComPort> MakeProgrammerPort();

// Closes `port` if it is open, with a note in `trace`; also when the device
// has gone and refuses part of the close (what it reports then is of no use).
void ClosePortQuietly(TComPort& port, TLineTrace* trace);

}  // namespace corvane
