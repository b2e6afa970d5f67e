#pragma once

#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

#include "CPort.h"
#include "ChipKind.h"
#include "LineTrace.h"
#include "PortScreen.h"

// The search for programmer boards on the system's ports. Every port that the
// screening leaves to the search is greeted at the same time, each on a thread
// of its own with a port object of its own, so that the ports without a
// programmer cost one greeting budget in all, not one each. Each programmer
// that answers is asked for its chip, and is handed over with its port open.
namespace corvane {

struct TFoundProgrammer {
    std::string Port;             // the port's name as listed
    TChipKind ChipKind = ckNone;  // ckNone: it answered, but named no chip that is known
    // Open, the board at its prompt. A link takes it over as it is
    // (TProgrammerLink(view, std::move(ComPort)), then SetChipKind): a port
    // reopened would raise DTR and RTS again and could be taken meanwhile.
    std::unique_ptr<TComPort> ComPort;
};

struct TSearchResult {
    // Each listed port with what became of it (see TProgrammerLink::PortChecks).
    std::vector<TPortCheck> Checks;
    // Every programmer that answered, in the order of the list.
    std::vector<TFoundProgrammer> Programmers;
    // Whether any port could be opened at all.
    bool Opened = false;
};

struct TSearchOptions {
    TPortScreen Screen;
    // Records each port's lines, port by port (nullptr: nothing).
    std::shared_ptr<TLineTrace> Trace;
    // Makes the port object for each port to greet, on the calling thread;
    // unset: MakeProgrammerPort().
    std::function<std::unique_ptr<TComPort>()> MakePort;
    // Told on the calling thread, in the order of the list, of each port as
    // soon as it (and every port before it) has been opened or refused.
    std::function<void(const std::string& port)> OnOpened;
    // Then told in the same way of each port where a programmer answered the
    // greeting, once the greetings of the ports before it have ended; its
    // chip may still be being asked for.
    std::function<void(const std::string& port)> OnAnswered;
};

// Greets `ports` (the system's list, in its order) and returns once each has
// answered or spent its greeting budget; the search's threads have ended by
// then. Ports are opened and greeted on those threads and closed on the
// calling thread, so a dispatcher that the ports share is served by the
// calling thread alone. A port is opened only when the screening allows it
// and, looked at just before, no other process holds it; a port without a
// programmer is closed again (and given back as it was found). A stop cuts
// the greetings short (each board is given the rest of its reply) and the
// search then finds nothing.
TSearchResult FindProgrammers(const std::vector<std::string>& ports, const TSearchOptions& options,
                              std::stop_token stop = {});

// A port object with the programmer's line settings and a dispatcher of its own.
std::unique_ptr<TComPort> MakeProgrammerPort();

// Closes `port` if it is open, with a note in `trace`; also when the device
// has gone and refuses part of the close (what it reports then is of no use).
void ClosePortQuietly(TComPort& port, TLineTrace* trace);

}  // namespace corvane
