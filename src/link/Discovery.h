#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "BoardExchange.h"
#include "CPort.h"
#include "ChipKind.h"
#include "LineTrace.h"
#include "PortScreen.h"
#include "ProbeSchedule.h"
#include "ProgrammerPort.h"

// Discovery of programmer boards and of the chip in their sockets: the
// greeting and the chip query on one board's exchange, and the search on the
// system's ports. Every port that the screening leaves to the search is
// greeted at the same time, each on a thread of its own with a port object of
// its own, so that the ports without a programmer cost one greeting budget in
// all, not one each. Each programmer that answers is asked for its chip, and
// is handed over with its port open. (The link's poll cycle, which drives the
// search, is TProgrammerLink::PollProgrammer.)
namespace corvane {

// The chip query's budget where nothing else is known of the board (the
// window's scan), and where one board's silence must not hold up others (the
// search of several boards, the station): as long as a greeting's.
inline constexpr std::int32_t kChipQueryMs = 30000;
inline constexpr std::int32_t kShortChipQueryMs = 1000;

// The chip that the programmer's greeting names (a 2051/4051), or else its
// answer to the 'p' query; nothing when the query went unanswered.
std::optional<TChipKind> IdentifyChipOn(TBoardExchange& board, const std::string& greeting,
                                        std::int32_t queryMs = kChipQueryMs);

// Greets the board on the exchange's open port (purged first) and, when a
// programmer answers, tells `answered` and asks for its chip (into `kind`,
// left empty when the query goes unanswered). Whether a programmer answered
// and was not cut short by the exchange's stop.
bool GreetBoard(TBoardExchange& board, std::optional<TChipKind>& kind,
                const std::function<void()>& answered = {}, std::int32_t queryMs = kChipQueryMs);

// What a board says of its socket: its greeting and, unless the greeting names
// a 2051/4051 (whose board cannot tell), its answer to 'p'. A part that did
// not come is empty.
struct TSocketReply {
    std::string Greeting;
    std::string ChipReply;
};

// Greets the board on the exchange's open port (purged first), giving the
// greeting `greetingMs`, and asks for its chip, giving the answer `queryMs`.
// Nothing is judged here: a front end that must tell an empty socket from a
// reply that was lost reads the texts itself.
TSocketReply AskSocket(TBoardExchange& board, std::int32_t greetingMs, std::int32_t queryMs);

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
    // Listed ports that the schedule held back: not due yet.
    std::size_t Waiting = 0;
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
    // The budget of each programmer's chip query.
    std::int32_t QueryMs = kChipQueryMs;
    // Picks the ports due for a greeting out of the list and hears which
    // answered (nullptr: every port at every search).
    TProbeSchedule* Schedule = nullptr;
};

// Greets `ports` (the system's list, in its order; with a schedule, those of
// them that are due) and returns once each has
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

}  // namespace corvane
