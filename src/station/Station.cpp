#include "Station.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "ChipOnRecord.h"
#include "Discovery.h"
#include "PortEnum.h"
#include "ProbeBoard.h"
#include "ProgrammerLink.h"
#include "ProgrammerPort.h"
#include "Protocol.h"
#include "Replies.h"

namespace corvane::station {

namespace {

using Clock = std::chrono::steady_clock;

// A board's socket is looked at this often while the station waits for a
// chip or for the socket to be empty: a chip seated is erased at most this
// long plus one query later.
constexpr std::chrono::milliseconds kSocketPoll(200);
// The ports are greeted for programmers that appeared this often.
constexpr std::chrono::milliseconds kDiscoveryInterval(1000);
// The socket's query gives the greeting the time a board with a known chip
// is given everywhere else, and the chip query as much.
constexpr std::int32_t kGreetingMs = 1000;
constexpr std::int32_t kQueryMs = 1000;
// A board that answers no greeting for this long is let go: its port is
// greeted again by the next search, as a new one is.
constexpr std::chrono::milliseconds kLetGoAfter(2000);
// A board's word for "no chip" is also what a chip code damaged on the line
// reads as: the socket is empty only when a second query, this much later,
// says so too.
constexpr std::chrono::milliseconds kConfirmEmpty(50);
// A board that waits for Enter is greeted this often, so that one unplugged
// is let go.
constexpr std::chrono::milliseconds kEnterLook(1000);

// The serial number's place as the station says it, "0FF0-0FF1".
std::string SerialRange(const TSerialPlan& serial) {
    const std::uint32_t last =
        serial.Address + static_cast<std::uint32_t>(serial.Format.Width()) - 1;
    return Hex(serial.Address, 4) + "-" + Hex(last, 4);
}

}  // namespace

std::string BoardStateText(TBoardState state, const std::string& result, bool withResult) {
    const auto after = [&](const char* text) {
        return withResult && !result.empty() ? result + "  " + text : std::string(text);
    };
    switch (state) {
        case TBoardState::WaitingForChip:
            return "waiting for a chip";
        case TBoardState::WaitingForEnter:
            return "no socket sensing: seat a chip, then press Enter";
        case TBoardState::RemoveChip:
            return after("remove the chip");
        case TBoardState::RemoveChipToGoOn:
            return "remove the chip to go on";
        case TBoardState::WaitingForPlace:
            return "waiting: the chips still to make are under way";
        case TBoardState::Gone:
            return result.empty() ? "programmer gone" : result + "  programmer gone";
    }
    return "";
}

class TStation::TImpl {
public:
    TImpl(TStationOptions options, IStationHost& host)
        : FOptions(std::move(options)),
          FKeeper(host),
          FHost(FKeeper),
          FChecksum("0x" + Hex(BoardChecksum(*FOptions.Image), 4)) {}

    ~TImpl() {
        FEnd.request_stop();
        FBoards.clear();
    }

    int Open() {
        if (FOptions.Serial) {
            const TSerialPlan& serial = *FOptions.Serial;
            const std::uint32_t first = serial.Address;
            const auto last = first + static_cast<std::uint32_t>(serial.Format.Width()) - 1;
            const std::string range = SerialRange(serial);
            const std::uint32_t size = FOptions.Image->MemSize();
            if (last >= size) {
                FHost.Notice("the serial number at " + range + " lies outside the memory image (" +
                                 Hex(0, 4) + "-" + Hex(size - 1, 4) + ")",
                             true);
                return esUsage;
            }
            for (std::uint32_t a = first; a <= last && !serial.Overwrite; ++a) {
                // Every byte of a binary file is the file's, FF included.
                if (a < FOptions.FileLength ||
                    FOptions.Image->GetByte(static_cast<std::uint16_t>(a)) != 0xFF) {
                    FHost.Notice("the serial number at " + range + " would overwrite bytes that " +
                                     FOptions.File + " sets (--serial-overwrite allows it)",
                                 true);
                    return esUsage;
                }
            }
        }
        try {
            FLog = std::make_unique<TStationLog>(FOptions.Log);
            if (!FLog->Torn().empty()) {
                FHost.Notice(FOptions.Log + ": its last row was cut short (" +
                                 std::to_string(FLog->Torn().size()) +
                                 " bytes without a line end); it was removed",
                             false);
            }
            FUsed = FLog->Used();
            if (FOptions.Serial) {
                const TSerialPlan& serial = *FOptions.Serial;
                FSerialAt = "0x" + Hex(serial.Address, 4);
                FSeries = std::make_unique<TSerialSeries>(FOptions.Log + ".serial", serial.Start,
                                                          serial.Format, FUsed);
                if (const auto past = FSeries->MovedPast()) {
                    FHost.Notice("--serial: " + std::to_string(serial.Start) +
                                     " is among the numbers that " + FOptions.Log +
                                     " holds in chips; the series goes on after " +
                                     std::to_string(*past),
                                 false);
                }
            }
        } catch (const std::exception& e) {
            FHost.Notice(e.what(), true);
            return esBadFile;
        }
        return esComplete;
    }

    int Run(std::stop_token stop) {
        std::stop_callback onStop(stop, [this] { FEnd.request_stop(); });
        {
            std::lock_guard lock(FMutex);
            FStart = Clock::now();
        }
        ShowTotals();
        Discover();
        // Every board ends its chip under way, then its thread.
        FBoards.clear();
        std::lock_guard lock(FMutex);
        if (FFatal != esComplete) return FFatal;
        return FFailed > 0 || FUsedUp ? esFailedStep : esComplete;
    }

    void EnterPressed() {
        std::lock_guard lock(FMutex);
        ++FEnters;
        FWake.notify_all();
    }

    void Go(std::size_t board) {
        std::lock_guard lock(FMutex);
        ++FGoes[board];
        FWake.notify_all();
    }

    TStationSnapshot Snapshot() { return FKeeper.Take(); }

    TStationTotals Totals() {
        std::lock_guard lock(FMutex);
        return {FGood, FFailed, std::chrono::duration<double>(Clock::now() - FStart).count(),
                FSeries ? FSeries->Next() : std::nullopt};
    }

    const std::string& Checksum() const { return FChecksum; }

private:
    struct TBoardThread {
        std::string Port;
        std::atomic<bool> Done{false};
        std::jthread Thread;
    };

    // How a chip's work ended for its board.
    enum class TChipEnd { Next, Gone, Ended };
    enum class TWait { Seated, Gone, Ended };

    bool Ending() const { return FEnd.stop_requested(); }

    // Waits until `time`, or less when the station ends.
    void PauseUntil(Clock::time_point time) {
        std::unique_lock lock(FMutex);
        FWake.wait_until(lock, FEnd.get_token(), time, [] { return false; });
    }

    // Greets the ports that no board of the station holds, once a second,
    // and takes on each programmer that answers, until the station ends.
    void Discover() {
        TSearchOptions search;
        search.Screen.Enabled = FOptions.Port.empty();
        // One board whose reply is lost must not hold up the others.
        search.QueryMs = kShortChipQueryMs;
        // A silent port is greeted less and less often; a board let go comes
        // back to the list as a new port, greeted at once.
        TProbeSchedule schedule;
        TProbeBoard board("station");
        board.Follow(schedule);
        search.Schedule = &schedule;
        bool told = false;
        std::vector<std::string> ports;
        while (!Ending()) {
            FBoards.remove_if([](const TBoardThread& board) { return board.Done.load(); });
            try {
                if (FOptions.Port.empty()) {
                    ListSerialPorts(ports);
                } else {
                    ports.assign(1, FOptions.Port);
                }
            } catch (const std::exception&) {
                ports.clear();  // no list of serial ports on this machine: no ports
            }
            std::erase_if(ports, [this](const std::string& port) {
                return std::any_of(FBoards.begin(), FBoards.end(),
                                   [&](const TBoardThread& board) { return board.Port == port; });
            });
            TSearchResult found = FindProgrammers(ports, search, FEnd.get_token());
            for (TFoundProgrammer& programmer : found.Programmers) TakeOn(std::move(programmer));
            FFirstScanDone = true;
            if (FBoards.empty() && !std::exchange(told, true)) FHost.WaitingForProgrammer();
            PauseUntil(Clock::now() + kDiscoveryInterval);
        }
    }

    void TakeOn(TFoundProgrammer found) {
        if (Ending()) return ClosePortQuietly(*found.ComPort, nullptr);
        const std::string chip = found.ChipKind == ckNone ? "-" : ChipLabel(found.ChipKind);
        // A board taken on again keeps its line, and may hold the chip it
        // programmed before it went. So may a board that appears after the
        // first scan: one plugged back in often gets another port's name (a
        // USB adapter while its old name is still held), and nothing tells
        // it from a new one; its chip waits for an empty socket too.
        auto known = FLines.find(found.Port);
        const bool again = known != FLines.end() || FFirstScanDone;
        const std::size_t line = known != FLines.end()
                                     ? known->second
                                     : FLines[found.Port] = FHost.AddBoard(found.Port, chip);
        TBoardThread& board = FBoards.emplace_back();
        board.Port = found.Port;
        auto work = [this, &board, line, again](TFoundProgrammer programmer) {
            Work(programmer, line, again);
            board.Done = true;
        };
        try {
            board.Thread = std::jthread(work, std::move(found));
        } catch (const std::system_error& e) {
            FHost.Message(line, std::string("no thread for this board: ") + e.what());
            FBoards.pop_back();
        }
    }

    // One board, on its thread, until the station ends or the board goes.
    void Work(TFoundProgrammer& found, std::size_t line, bool again) noexcept {
        try {
            Loop(found, line, again);
        } catch (const std::exception& e) {
            // Out of memory, most likely.
            FHost.Message(line, e.what());
        }
    }

    void Loop(TFoundProgrammer& found, std::size_t line, bool again) {
        TBoardView view(FHost, line);
        TChipKind kind = found.ChipKind;
        SetBoardOptions(view, FOptions.Board, kind);
        bool portFailed = false;
        TProgrammerLink link(view, std::move(found.ComPort));
        ShowMonitorFailures(link, FHost, line, portFailed);
        // A 2051/4051 board names its chip in its greeting, seated or not.
        const bool senses = kind != ck89C2051;
        std::string result;
        // A chip in the socket at the first look that a station finished
        // before (this one, before a restart) is not programmed again. Any
        // other chip there counts as newly seated, unless the board was
        // taken on again: then it may be a chip it began.
        const TOnRecord::TVerdict look =
            !senses || kind != ckNone ? OnRecord(link, kind, result) : TOnRecord::TVerdict::Other;
        const bool onRecord = look == TOnRecord::TVerdict::OnRecord;
        if (onRecord) FHost.Step(line, result);
        // A chip that could not be looked at may be a finished one: it is
        // not programmed, and the board waits for an empty socket (a
        // 2051/4051 board for its next Enter).
        bool mustEmpty = senses && (again || look != TOnRecord::TVerdict::Other);
        bool seated = senses && kind != ckNone && !mustEmpty;
        // A board found with no chip named may have lost that reply: a chip
        // it names before its socket has read empty is looked at first, as
        // one found seated.
        bool unread = senses && kind == ckNone && !mustEmpty;
        while (!Ending()) {
            if (!senses && !seated) {
                if (WaitForEnter(link, line) != TWait::Seated) break;
            } else if (!seated) {
                const TBoardState state = !mustEmpty       ? TBoardState::WaitingForChip
                                          : result.empty() ? TBoardState::RemoveChipToGoOn
                                                           : TBoardState::RemoveChip;
                if (WaitForSocket(link, line, state, result, mustEmpty, kind, unread) !=
                    TWait::Seated) {
                    break;
                }
                if (std::exchange(unread, false)) {
                    const TOnRecord::TVerdict verdict = OnRecord(link, kind, result);
                    if (verdict != TOnRecord::TVerdict::Other) {
                        if (verdict == TOnRecord::TVerdict::OnRecord) FHost.Step(line, result);
                        mustEmpty = true;
                        continue;
                    }
                }
            }
            seated = false;
            if (!Reserve()) {
                // Every place left is taken by chips under way: one may fail.
                if (!AwaitPlace(line)) break;
                seated = !senses;
                continue;
            }
            const TChipEnd end = Program(link, view, line, kind, result, portFailed);
            if (end != TChipEnd::Next) break;
            mustEmpty = senses;
        }
        ClosePortQuietly(link.ComPort(), nullptr);
    }

    // What the chip seated at a board's first look holds; when it already
    // holds the file (with one of the log's numbers), `result` says so.
    TOnRecord::TVerdict OnRecord(TProgrammerLink& link, TChipKind kind, std::string& result) {
        link.SetChipKind(kind);
        if (kind == ck89C2051) link.ApplyMemSizeChoice();
        TRecordPlan plan;
        plan.File = FOptions.Image;
        std::set<std::uint64_t> used;
        if (FOptions.Serial) {
            plan.SerialAddress = FOptions.Serial->Address;
            plan.SerialFormat = FOptions.Serial->Format;
            std::lock_guard lock(FMutex);
            used = FUsed;
        }
        plan.Used = &used;
        const TOnRecord held = ChipOnRecord(link, kind, plan);
        if (held.Verdict == TOnRecord::TVerdict::OnRecord) {
            result = "already holds " + FOptions.File +
                     (held.Serial ? " with serial number " + std::to_string(*held.Serial) : "");
        }
        return held.Verdict;
    }

    // Waits for an Enter that comes after the wait began. The wait begins
    // before the host shows it, so an Enter pressed as the request appears
    // counts. The board is greeted meanwhile, and let go when it stops
    // answering.
    TWait WaitForEnter(TProgrammerLink& link, std::size_t line) {
        std::unique_lock lock(FMutex);
        const std::uint64_t since = FEnters;
        const std::uint64_t goSince = FGoes[line];
        const auto go = [&] { return FEnters != since || FGoes[line] != goSince; };
        lock.unlock();
        FHost.BoardState(line, TBoardState::WaitingForEnter, "");
        auto answered = Clock::now();
        lock.lock();
        for (;;) {
            FWake.wait_until(lock, FEnd.get_token(), Clock::now() + kEnterLook, go);
            if (go()) return TWait::Seated;
            if (Ending()) return TWait::Ended;
            lock.unlock();
            TSocketReply reply;
            if (!AskSocket(link, line, reply)) return TWait::Gone;
            if (protocol::IsGreeting(reply.Greeting)) {
                answered = Clock::now();
            } else if (Clock::now() - answered >= kLetGoAfter && !Ending()) {
                FHost.BoardState(line, TBoardState::Gone, "");
                return TWait::Gone;
            }
            lock.lock();
        }
    }

    // One look at the socket; false when the port failed (the board has
    // gone, and its line says so).
    bool AskSocket(TProgrammerLink& link, std::size_t line, TSocketReply& reply) {
        try {
            reply = link.AskSocket(FEnd.get_token(), kGreetingMs, kQueryMs);
            return true;
        } catch (const std::exception&) {
            FHost.BoardState(line, TBoardState::Gone, "");
            return false;
        }
    }

    // Queries the socket until it holds a known chip; with `mustEmpty`, only
    // after the board has said it is empty.
    // `unread`: cleared once the socket has read empty.
    TWait WaitForSocket(TProgrammerLink& link, std::size_t line, TBoardState state,
                        const std::string& result, bool& mustEmpty, TChipKind& kind, bool& unread) {
        FHost.BoardState(line, state, state == TBoardState::RemoveChip ? result : "");
        // The queries begin one interval apart, so a chip seated during one
        // is found by the next at most an interval later.
        auto next = Clock::now();
        auto answered = Clock::now();
        int noChip = 0;  // replies in a row that named no known chip
        for (;;) {
            next = noChip == 1 ? Clock::now() + kConfirmEmpty
                               : std::max(next + kSocketPoll, Clock::now());
            PauseUntil(next);
            if (Ending()) return TWait::Ended;
            TSocketReply reply;
            if (!AskSocket(link, line, reply)) return TWait::Gone;
            if (Ending()) return TWait::Ended;
            TChipKind now = ckNone;
            const protocol::TSocketSays says =
                protocol::ReadSocket(reply.Greeting, reply.ChipReply, now);
            noChip = says == protocol::TSocketSays::NoChip ? noChip + 1 : 0;
            switch (says) {
                case protocol::TSocketSays::Silent:
                    if (Clock::now() - answered >= kLetGoAfter) {
                        FHost.BoardState(line, TBoardState::Gone, "");
                        return TWait::Gone;
                    }
                    continue;
                case protocol::TSocketSays::Unknown:
                    break;
                case protocol::TSocketSays::NoChip:
                    if (noChip < 2) break;
                    unread = false;
                    if (std::exchange(mustEmpty, false)) {
                        FHost.BoardState(line, TBoardState::WaitingForChip, "");
                    }
                    break;
                case protocol::TSocketSays::Chip:
                    if (mustEmpty) break;
                    kind = now;
                    return TWait::Seated;
            }
            answered = Clock::now();
        }
    }

    // A place for one more chip under --chips.
    bool Reserve() {
        std::lock_guard lock(FMutex);
        if (Ending() || !PlaceFree()) return false;
        ++FUnderWay;
        return true;
    }

    // With the lock held.
    bool PlaceFree() const { return FOptions.Chips == 0 || FGood + FUnderWay < FOptions.Chips; }

    // Waits until a chip under way ends without passing (its place is free
    // again) or the station ends; whether a place is free.
    bool AwaitPlace(std::size_t line) {
        if (Ending()) return false;
        FHost.BoardState(line, TBoardState::WaitingForPlace, "");
        std::unique_lock lock(FMutex);
        FWake.wait(lock, FEnd.get_token(), [this] { return PlaceFree(); });
        return !Ending();
    }

    // Programs the chip seated and logs it; `result` is its result text.
    // `portFailed`: the port's failure was reported (the monitor's is not).
    TChipEnd Program(TProgrammerLink& link, TBoardView& view, std::size_t line, TChipKind kind,
                     std::string& result, bool& portFailed) {
        link.SetChipKind(kind);
        if (kind == ck89C2051) link.ApplyMemSizeChoice();
        SetBoardOptions(view, FOptions.Board, kind);
        FHost.SetChip(line, ChipLabel(kind));
        FHost.ChipStarted(line);

        TStationRow row;
        row.Port = link.ComPort().Port();
        row.Chip = ChipLabel(kind);
        row.File = FOptions.File;
        THexFile image = *FOptions.Image;
        std::optional<std::uint64_t> serial;
        if (FSeries && OutsideChip(link, row)) {
            // No number is taken: the chip is not touched.
            row.Time = std::chrono::system_clock::now();
            row.Checksum = FChecksum;
            row.Outcome = TChipOutcome::Failed;
            Log(line, row, std::nullopt, false);
            Ended(true, false);
            FHost.ChipDone(line, row);
            FHost.ChipFailed(line);
            result = row.Result;
            view.ShowStatus(row.Result);
            return TChipEnd::Next;
        }
        if (FSeries) {
            try {
                serial = FSeries->Take();
            } catch (const std::exception& e) {
                Fatal(line, e.what());
                Ended(false, false);
                return TChipEnd::Ended;
            }
            if (!serial) {
                UsedUp(line);
                Ended(false, false);
                return TChipEnd::Ended;
            }
            row.Serial = std::to_string(*serial);
            row.SerialAt = FSerialAt;
            row.Format = FOptions.Serial->Format.Name();
            const auto bytes = FOptions.Serial->Format.Bytes(*serial);
            for (std::size_t i = 0; i < bytes.size(); ++i) {
                image.SetByte(static_cast<std::uint16_t>(FOptions.Serial->Address + i), bytes[i]);
            }
        }
        // The chip's own checksum: the file with its number.
        row.Checksum = "0x" + Hex(BoardChecksum(image), 4);
        // The station's end stops the chip only until its write pass begins:
        // from then on the chip is finished, whatever comes.
        std::stop_source chipStop;
        std::mutex writeMutex;
        bool writing = false;
        link.SetWriteStarting([&] {
            std::lock_guard lock(writeMutex);
            writing = true;
        });
        TBoardResult end;
        row.Time = std::chrono::system_clock::now();
        const auto start = Clock::now();
        {
            std::stop_callback onEnd(FEnd.get_token(), [&] {
                std::lock_guard lock(writeMutex);
                if (!writing) chipStop.request_stop();
            });
            end = RunOnBoard(
                view,
                [this] { return FOptions.StoppedStatus ? FOptions.StoppedStatus() : esFailedStep; },
                [&] {
                    return link.ProgramFromImage(image, chipStop.get_token(), FOptions.FileLength);
                });
        }
        link.SetWriteStarting({});
        if (end.PortFailed) portFailed = true;
        row.Seconds = std::chrono::duration<double>(Clock::now() - start).count();
        row.Result = end.Text;
        row.Status = end.Status;
        // A number is in the chip from the first byte of its write pass on.
        row.SerialUsed = serial && writing;
        const bool stopped = end.Ended && end.Kind == TOutcomeKind::Stopped;
        const bool passed = end.Status == esComplete;
        row.Outcome = stopped  ? TChipOutcome::Stopped
                      : passed ? TChipOutcome::Good
                               : TChipOutcome::Failed;
        Log(line, row, serial, writing);
        // A chip stopped before anything was written counts neither way.
        Ended(!stopped, passed);
        FHost.ChipDone(line, row);
        if (!passed && !stopped) FHost.ChipFailed(line);
        result = row.Result;
        if (end.Gone) {
            FHost.BoardState(line, TBoardState::Gone, row.Result);
            return TChipEnd::Gone;
        }
        if (!end.Ended) view.ShowStatus(row.Result);
        return TChipEnd::Next;
    }

    // A serial number beyond the chip seated: the chip fails with why.
    bool OutsideChip(TProgrammerLink& link, TStationRow& row) {
        const TSerialPlan& serial = *FOptions.Serial;
        const std::uint32_t size = link.SourceImage().MemSize();
        if (serial.Address + static_cast<std::uint32_t>(serial.Format.Width()) <= size) {
            return false;
        }
        row.Result = "the serial number at " + SerialRange(serial) + " lies beyond the " +
                     row.Chip + "'s " + std::to_string(size) + " bytes (0000-" + Hex(size - 1, 4) +
                     ")";
        row.Status = esFailedStep;
        return true;
    }

    // The row first, then the series: a row is never lost to a state file
    // that cannot be written, and a number whose row is written is on
    // record as used even when the state file is not.
    void Log(std::size_t line, TStationRow& row, std::optional<std::uint64_t> serial,
             bool written) {
        row.Logged = true;
        try {
            FLog->Append(row);
        } catch (const std::exception& e) {
            row.Logged = false;
            Fatal(line, e.what());
        }
        if (serial && written) {
            FSeries->Used(*serial);
            std::lock_guard lock(FMutex);
            FUsed.insert(*serial);
        }
        try {
            if (serial && !written) FSeries->GiveBack(*serial);
        } catch (const std::exception& e) {
            Fatal(line, e.what());
        }
    }

    // The series has no number left: no chip starts after those under way.
    void UsedUp(std::size_t line) {
        {
            std::lock_guard lock(FMutex);
            if (std::exchange(FUsedUp, true)) return;
        }
        FHost.Step(line, "serial numbers used up");
        FHost.Notice("serial numbers used up", true);
        FEnd.request_stop();
    }

    // The log or the serial numbers' state cannot be written: no chip starts
    // after this one.
    void Fatal(std::size_t line, const std::string& why) {
        FHost.Message(line, why);
        std::lock_guard lock(FMutex);
        FFatal = esBadFile;
        FEnd.request_stop();
    }

    // A chip under way has ended (`done`: programmed, passed or not).
    void Ended(bool done, bool passed) {
        {
            std::lock_guard lock(FMutex);
            --FUnderWay;
            if (done) ++(passed ? FGood : FFailed);
            if (FOptions.Chips > 0 && FGood >= FOptions.Chips) FEnd.request_stop();
        }
        FWake.notify_all();
        ShowTotals();
    }

    // The totals reach the host in the order they were counted.
    void ShowTotals() {
        std::lock_guard lock(FReportMutex);
        FHost.Totals(Totals());
    }

    const TStationOptions FOptions;
    TSnapshotKeeper FKeeper;  // keeps the snapshot, and passes every report on
    IStationHost& FHost;
    const std::string FChecksum;
    std::string FSerialAt;
    std::unique_ptr<TStationLog> FLog;
    std::unique_ptr<TSerialSeries> FSeries;
    // Asked for by the host's stop, by --chips reached, by the numbers used
    // up or by a log that cannot be written: no chip starts after it.
    std::stop_source FEnd;
    std::mutex FMutex;  // the counts, the Enters and the numbers in chips below
    std::mutex FReportMutex;
    std::set<std::uint64_t> FUsed;  // the serial numbers in chips
    std::condition_variable_any FWake;
    std::uint64_t FEnters = 0;
    std::map<std::size_t, std::uint64_t> FGoes;  // each board's
    int FGood = 0;
    int FFailed = 0;
    int FUnderWay = 0;
    int FFatal = esComplete;
    bool FUsedUp = false;
    Clock::time_point FStart = Clock::now();
    bool FFirstScanDone = false;  // boards found later may hold a chip they programmed
    std::map<std::string, std::size_t> FLines;  // each port's line
    // Last: their threads end before anything above goes.
    std::list<TBoardThread> FBoards;
};

TStation::TStation(TStationOptions options, IStationHost& host)
    : FImpl(std::make_unique<TImpl>(std::move(options), host)) {}

TStation::~TStation() = default;

int TStation::Open() {
    return FImpl->Open();
}

int TStation::Run(std::stop_token stop) {
    return FImpl->Run(std::move(stop));
}

void TStation::EnterPressed() {
    FImpl->EnterPressed();
}

void TStation::Go(std::size_t board) {
    FImpl->Go(board);
}

TStationSnapshot TStation::Snapshot() {
    return FImpl->Snapshot();
}

TStationTotals TStation::Totals() const {
    return FImpl->Totals();
}

std::string TStation::Checksum() const {
    return FImpl->Checksum();
}

}  // namespace corvane::station
