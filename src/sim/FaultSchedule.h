#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "VirtualProgrammer.h"

// A board's misbehaviour over time: what happens to it and when, drawn from
// a seed (one number names a whole misbehaving run) or written by hand, and
// played against a running board.
//
// The schedule's text, one event a line, times in milliseconds from the start
// ('#' begins a comment):
//   AT out                  the chip is taken out
//   AT in [stuck=ADDR]      a fresh chip is seated (one cell never programs)
//   AT unplug MS            the line goes away, and is back MS later
//   AT move MS              the same, back under another port's name
//   AT gone-in-pass N MS    the line goes away after byte N of the next write
//                           pass (N from 1, or "last"), and is back MS later
//   AT lose N               the next N replies are lost
//   AT late N MS            the next N replies come MS late
//   AT xon-drop N           in the next write pass the XON before byte N is lost
//   AT xoff-drop N          in the next write pass the XOFF after byte N is lost
//   AT erase-fail N         the next N erases fail
//   AT prompt FORM          replies end from now on in: usual, bare, crlf, text
//   AT damage N             the next N replies have one bit of one byte flipped
//   AT cut N                the next N replies stop part-way
//   AT latency MS           the board is behind a USB adapter of this latency
//                           from now on (0: none)
namespace corvane::sim {

struct FaultEvent {
    enum class Kind {
        Out,
        In,
        Unplug,
        Move,
        GoneInPass,
        Lose,
        Late,
        XonDrop,
        XoffDrop,
        EraseFail,
        Prompt,
        Damage,
        Cut,
        Latency
    };
    std::chrono::milliseconds at{0};
    Kind kind = Kind::Out;
    // In: the stuck cell; GoneInPass, XonDrop, XoffDrop: the byte (or kLastByte);
    // Lose, Late, EraseFail, Damage, Cut: how many; Prompt: the PromptForm;
    // Latency: milliseconds.
    std::optional<std::uint32_t> value;
    std::chrono::milliseconds span{
        0};  // Unplug, Move, GoneInPass: until the line is back; Late: how late
};

using FaultSchedule = std::vector<FaultEvent>;

// What a drawn schedule is drawn for.
struct DrawOptions {
    std::chrono::milliseconds length{std::chrono::seconds(60)};
    std::uint32_t passBytes = 256;  // the write passes' length, for byte numbers
    std::uint64_t board = 0;        // several boards of one seed draw differently
    bool moves = false;             // the line comes back under another port's name
};

// The same seed and options give the same schedule, on every machine.
FaultSchedule DrawSchedule(std::uint64_t seed, const DrawOptions& options);
std::string ScheduleText(const FaultSchedule& schedule);
// Throws std::invalid_argument naming the line that is not an event.
FaultSchedule ParseSchedule(std::string_view text);

// Plays a schedule against a board on a thread of its own.
class FaultDriver {
public:
    // Called on the driver's thread with each chip taken out.
    using TakenOut = std::function<void(const SocketView&)>;
    FaultDriver(VirtualProgrammer& board, FaultSchedule schedule, TakenOut takenOut = {});
    ~FaultDriver();  // Stop()
    FaultDriver(const FaultDriver&) = delete;
    FaultDriver& operator=(const FaultDriver&) = delete;

    void Start();
    // No more events; a line that went away is back.
    void Stop();
    // Every event has been played.
    bool Done() const;

private:
    void Run();
    // Plays one event; a chip taken out is added to `out`, told of once every
    // event of the moment has been played.
    void Play(const FaultEvent& event, std::vector<SocketView>& out);

    VirtualProgrammer& FBoard;
    const FaultSchedule FSchedule;
    const TakenOut FTakenOut;
    mutable std::mutex FMutex;
    std::condition_variable FChanged;
    bool FStop = false;
    bool FDone = false;
    std::optional<std::chrono::steady_clock::time_point> FPlugAt;
    bool FPlugElsewhere = false;
    std::thread FThread;
};

}  // namespace corvane::sim
