#include "FaultSchedule.h"

#include <algorithm>
#include <charconv>
#include <random>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace corvane::sim {

namespace {

using std::chrono::milliseconds;
using Kind = FaultEvent::Kind;

struct Word {
    Kind kind;
    std::string_view word;
};
constexpr Word kWords[] = {
    {Kind::Out, "out"},
    {Kind::In, "in"},
    {Kind::Unplug, "unplug"},
    {Kind::Move, "move"},
    {Kind::GoneInPass, "gone-in-pass"},
    {Kind::Lose, "lose"},
    {Kind::Late, "late"},
    {Kind::XonDrop, "xon-drop"},
    {Kind::XoffDrop, "xoff-drop"},
    {Kind::EraseFail, "erase-fail"},
    {Kind::Prompt, "prompt"},
    {Kind::Damage, "damage"},
    {Kind::Cut, "cut"},
    {Kind::Latency, "latency"},
};
constexpr std::string_view kForms[] = {"usual", "bare", "crlf", "text"};

// Draws by plain modulo of the 64-bit engine, whose output the standard
// fixes, so that a seed names the same run everywhere.
class Draw {
public:
    explicit Draw(std::uint64_t seed) : FEngine(seed) {}
    std::uint64_t Between(std::uint64_t low, std::uint64_t high) {
        return low + FEngine() % (high - low + 1);
    }
    bool OneIn(std::uint64_t n) { return FEngine() % n == 0; }
    milliseconds Ms(std::uint64_t low, std::uint64_t high) {
        return milliseconds(static_cast<milliseconds::rep>(Between(low, high)));
    }

private:
    std::mt19937_64 FEngine;
};

std::string ByteText(std::uint32_t n) {
    return n == kLastByte ? "last" : std::to_string(n);
}

template <typename T>
bool Number(std::string_view text, T& value) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

FaultSchedule DrawSchedule(std::uint64_t seed, const DrawOptions& options) {
    Draw draw(seed * 0x9E3779B97F4A7C15ULL + options.board);
    const milliseconds end = options.length;
    const std::uint32_t bytes = std::max<std::uint32_t>(options.passBytes, 1);
    const auto byteNumber = [&] {
        return draw.OneIn(2) ? kLastByte : static_cast<std::uint32_t>(draw.Between(1, bytes));
    };
    FaultSchedule schedule;

    // The socket: a chip in at the start; taken out after a while (now and
    // then left in for long), the socket empty for a while, a fresh chip.
    milliseconds t{0};
    for (;;) {
        t += draw.OneIn(8) ? draw.Ms(5000, 10000) : draw.Ms(800, 4000);
        if (t >= end) break;
        schedule.push_back({t, Kind::Out, std::nullopt, {}});
        t += draw.Ms(150, 1000);
        if (t >= end) break;
        FaultEvent in{t, Kind::In, std::nullopt, {}};
        if (draw.OneIn(4)) in.value = static_cast<std::uint32_t>(draw.Between(0, bytes - 1));
        schedule.push_back(in);
    }

    // The line and the board, on a timeline of their own.
    t = draw.Ms(200, 1500);
    for (; t < end; t += draw.Ms(400, 2500)) {
        FaultEvent e{t, Kind::Lose, std::nullopt, {}};
        const auto pick = draw.Between(0, 18);
        if (pick < 5) {
            e.value = static_cast<std::uint32_t>(draw.Between(1, 2));
        } else if (pick < 8) {
            e.kind = Kind::Late;
            e.value = 1;
            e.span = draw.Ms(500, 2500);
        } else if (pick < 10) {
            e.kind = Kind::XonDrop;
            e.value = byteNumber();
        } else if (pick < 13) {
            e.kind = Kind::XoffDrop;
            e.value = byteNumber();
        } else if (pick < 15) {
            e.kind = Kind::EraseFail;
            e.value = static_cast<std::uint32_t>(draw.Between(1, 12));
        } else if (pick < 17) {
            e.kind = Kind::Prompt;
            e.value = static_cast<std::uint32_t>(draw.Between(0, 3));
        } else if (pick < 18) {
            e.kind = options.moves ? Kind::Move : Kind::Unplug;
            e.span = draw.Ms(200, 1500);
        } else {
            e.kind = Kind::GoneInPass;
            e.value = byteNumber();
            e.span = draw.Ms(200, 1500);
        }
        schedule.push_back(e);
    }
    // What real lines do, on an engine of its own (the draws above stay as
    // they were): now and then a board behind a USB adapter, replies
    // damaged or cut short by noise.
    Draw line(seed * 0xBF58476D1CE4E5B9ULL + options.board + 1);
    if (line.OneIn(4)) {
        schedule.push_back(
            {milliseconds(0), Kind::Latency, static_cast<std::uint32_t>(line.Between(1, 16)), {}});
    }
    for (t = line.Ms(1000, 8000); t < end; t += line.Ms(2000, 10000)) {
        schedule.push_back({t, line.OneIn(2) ? Kind::Damage : Kind::Cut, 1, {}});
    }
    std::stable_sort(schedule.begin(), schedule.end(),
                     [](const FaultEvent& a, const FaultEvent& b) { return a.at < b.at; });
    return schedule;
}

std::string ScheduleText(const FaultSchedule& schedule) {
    std::ostringstream text;
    for (const FaultEvent& e : schedule) {
        text << e.at.count() << ' '
             << std::find_if(std::begin(kWords), std::end(kWords), [&](const Word& w) {
                    return w.kind == e.kind;
                })->word;
        const std::uint32_t v = e.value.value_or(0);
        switch (e.kind) {
            case Kind::Out:
                break;
            case Kind::In:
                if (e.value) text << " stuck=" << v;
                break;
            case Kind::Unplug:
            case Kind::Move:
                text << ' ' << e.span.count();
                break;
            case Kind::GoneInPass:
                text << ' ' << ByteText(v) << ' ' << e.span.count();
                break;
            case Kind::Late:
                text << ' ' << v << ' ' << e.span.count();
                break;
            case Kind::XonDrop:
            case Kind::XoffDrop:
                text << ' ' << ByteText(v);
                break;
            case Kind::Lose:
            case Kind::EraseFail:
            case Kind::Damage:
            case Kind::Cut:
            case Kind::Latency:
                text << ' ' << v;
                break;
            case Kind::Prompt:
                text << ' ' << kForms[std::min<std::size_t>(v, 3)];
                break;
        }
        text << '\n';
    }
    return text.str();
}

FaultSchedule ParseSchedule(std::string_view text) {
    FaultSchedule schedule;
    std::istringstream lines{std::string(text)};
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        line = line.substr(0, line.find('#'));
        std::istringstream split(line);
        std::vector<std::string> w;
        for (std::string word; split >> word;) w.push_back(word);
        if (w.empty()) continue;
        const auto bad = [&] {
            return std::invalid_argument("line " + std::to_string(number) + ": '" + line +
                                         "' is not an event");
        };
        FaultEvent e;
        std::uint64_t at = 0;
        const auto* word = std::find_if(std::begin(kWords), std::end(kWords), [&](const Word& k) {
            return w.size() > 1 && k.word == w[1];
        });
        if (!Number(w[0], at) || word == std::end(kWords)) throw bad();
        e.at = milliseconds(static_cast<milliseconds::rep>(at));
        e.kind = word->kind;
        const auto count = [&](std::size_t i) {
            std::uint32_t v = 0;
            if (i >= w.size() || !Number(w[i], v)) throw bad();
            return v;
        };
        const auto byte = [&](std::size_t i) {
            if (i < w.size() && w[i] == "last") return kLastByte;
            const std::uint32_t v = count(i);
            if (v == 0) throw bad();
            return v;
        };
        const auto span = [&](std::size_t i) { return milliseconds(count(i)); };
        std::size_t words = 2;
        switch (e.kind) {
            case Kind::Out:
                break;
            case Kind::In:
                if (w.size() > 2) {
                    if (!w[2].starts_with("stuck=")) throw bad();
                    w[2].erase(0, 6);
                    e.value = count(2);
                    words = 3;
                }
                break;
            case Kind::Unplug:
            case Kind::Move:
                e.span = span(2);
                words = 3;
                break;
            case Kind::GoneInPass:
                e.value = byte(2);
                e.span = span(3);
                words = 4;
                break;
            case Kind::Late:
                e.value = count(2);
                e.span = span(3);
                words = 4;
                break;
            case Kind::XonDrop:
            case Kind::XoffDrop:
                e.value = byte(2);
                words = 3;
                break;
            case Kind::Lose:
            case Kind::EraseFail:
            case Kind::Damage:
            case Kind::Cut:
            case Kind::Latency:
                e.value = count(2);
                words = 3;
                break;
            case Kind::Prompt: {
                const auto* form = w.size() > 2
                                       ? std::find(std::begin(kForms), std::end(kForms), w[2])
                                       : std::end(kForms);
                if (form == std::end(kForms)) throw bad();
                e.value = static_cast<std::uint32_t>(form - std::begin(kForms));
                words = 3;
                break;
            }
        }
        if (w.size() != words) throw bad();
        if (!schedule.empty() && e.at < schedule.back().at) {
            throw std::invalid_argument("line " + std::to_string(number) +
                                        ": the times must not go back");
        }
        schedule.push_back(e);
    }
    return schedule;
}

// ---- the driver ---------------------------------------------------------

FaultDriver::FaultDriver(VirtualProgrammer& board, FaultSchedule schedule, TakenOut takenOut)
    : FBoard(board), FSchedule(std::move(schedule)), FTakenOut(std::move(takenOut)) {}

FaultDriver::~FaultDriver() {
    Stop();
}

void FaultDriver::Start() {
    if (FThread.joinable()) return;
    FThread = std::thread([this] { Run(); });
}

void FaultDriver::Stop() {
    {
        std::lock_guard lock(FMutex);
        FStop = true;
    }
    FChanged.notify_all();
    if (FThread.joinable()) FThread.join();
    FBoard.Plug();
}

bool FaultDriver::Done() const {
    std::lock_guard lock(FMutex);
    return FDone;
}

void FaultDriver::Run() {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    // The line that went away in a pass is noticed within this.
    constexpr milliseconds kLook(20);
    // Until the line is back, once it went away in a pass; negative: none armed.
    milliseconds goneSpan{-1};
    std::unique_lock lock(FMutex);
    for (std::size_t next = 0; !FStop;) {
        auto wake = Clock::now() + kLook;
        if (next < FSchedule.size()) wake = std::min(wake, start + FSchedule[next].at);
        if (FPlugAt) wake = std::min(wake, *FPlugAt);
        FChanged.wait_until(lock, wake, [this] { return FStop; });
        if (FStop) break;
        const auto now = Clock::now();
        lock.unlock();
        if (goneSpan.count() >= 0 && !FBoard.Plugged()) {
            FPlugAt = now + goneSpan;
            goneSpan = milliseconds(-1);
        }
        if (FPlugAt && now >= *FPlugAt) {
            FPlugAt.reset();
            FBoard.Plug(std::exchange(FPlugElsewhere, false));
        }
        std::vector<SocketView> out;
        for (; next < FSchedule.size() && start + FSchedule[next].at <= now; ++next) {
            const FaultEvent& e = FSchedule[next];
            if (e.kind == Kind::GoneInPass) goneSpan = e.span;
            if (e.kind == Kind::Unplug || e.kind == Kind::Move) {
                FPlugAt = now + e.span;
                FPlugElsewhere = e.kind == Kind::Move;
            }
            Play(e, out);
        }
        // Who hears of a chip taken out finds the other faults of that
        // moment already in place.
        if (FTakenOut) {
            for (const SocketView& view : out) FTakenOut(view);
        }
        lock.lock();
        if (next >= FSchedule.size() && !FPlugAt && goneSpan.count() < 0) FDone = true;
    }
}

void FaultDriver::Play(const FaultEvent& e, std::vector<SocketView>& out) {
    const std::uint32_t v = e.value.value_or(0);
    switch (e.kind) {
        case Kind::Out:
            if (FBoard.ChipSeated()) out.push_back(FBoard.RemoveChip());
            break;
        case Kind::In:
            if (!FBoard.ChipSeated()) FBoard.SeatChip(e.value);
            break;
        case Kind::Unplug:
        case Kind::Move:
            FBoard.Unplug();
            break;
        case Kind::GoneInPass:
            FBoard.ChangeFaults([v](Faults& f) { f.goneInPassAt = v; });
            break;
        case Kind::Lose:
            FBoard.ChangeFaults([v](Faults& f) { f.lostReplies += static_cast<int>(v); });
            break;
        case Kind::Late:
            FBoard.ChangeFaults([&e, v](Faults& f) {
                f.lateReplies += static_cast<int>(v);
                f.lateBy = e.span;
            });
            break;
        case Kind::XonDrop:
            FBoard.ChangeFaults([v](Faults& f) { f.xonDropAt = v; });
            break;
        case Kind::XoffDrop:
            FBoard.ChangeFaults([v](Faults& f) { f.xoffDropAt = v; });
            break;
        case Kind::EraseFail:
            FBoard.ChangeFaults([v](Faults& f) { f.eraseFailures += static_cast<int>(v); });
            break;
        case Kind::Prompt:
            FBoard.ChangeFaults([v](Faults& f) { f.promptForm = static_cast<PromptForm>(v % 4); });
            break;
        case Kind::Damage:
            FBoard.ChangeFaults([v](Faults& f) { f.damagedReplies += static_cast<int>(v); });
            break;
        case Kind::Cut:
            FBoard.ChangeFaults([v](Faults& f) { f.cutReplies += static_cast<int>(v); });
            break;
        case Kind::Latency:
            FBoard.SetLatency(milliseconds(v));
            break;
    }
}

}  // namespace corvane::sim
