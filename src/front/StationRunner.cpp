#include "StationRunner.h"

#include <atomic>
#include <chrono>
#include <utility>

#include "LinkRunner.h"
#include "ThreadName.h"

namespace corvane {

namespace {

// A window is brought the station's state no more often than this: a few
// pictures a second per board, however fast the bytes go.
constexpr std::chrono::milliseconds kDeliveryGap(120);

}  // namespace

// Whether the runner still delivers its reports: GUI thread only.
struct TStationRunner::TGate {
    bool Open = true;
};

// The station's host: the window draws from the snapshot, so only the wake
// and the refusal of a start matter here.
class TStationRunner::THost : public station::IStationHost {
public:
    explicit THost(TStationRunner& runner) : FRunner(runner) {}

    std::string Refusal() {
        std::lock_guard lock(FLock);
        return FRefusal;
    }

    void Step(std::size_t, const std::string&) override {}
    void Progress(std::size_t, int, int, double) override {}
    void PassEnded(std::size_t, int, int, double) override {}
    void Message(std::size_t, const std::string&) override {}
    std::size_t AddBoard(const std::string&, const std::string&) override { return FBoards++; }
    void SetChip(std::size_t, const std::string&) override {}
    void BoardState(std::size_t, station::TBoardState, const std::string&) override {}
    void ChipDone(std::size_t, const station::TStationRow&) override {}
    void ChipFailed(std::size_t) override {}
    void Totals(const station::TStationTotals&) override {}
    void WaitingForProgrammer() override {}
    void Notice(const std::string& text, bool error) override {
        if (!error) return;
        std::lock_guard lock(FLock);
        FRefusal = text;
    }
    void Changed() override {
        {
            std::lock_guard lock(FRunner.FLock);
            FRunner.FPending = true;
        }
        FRunner.FChanged.notify_all();
    }

private:
    TStationRunner& FRunner;
    std::mutex FLock;
    std::string FRefusal;
    // The boards' lines, numbered as they come (a board's threads only).
    std::atomic<std::size_t> FBoards{0};
};

TStationRunner::TStationRunner(TGuiQueue& gui, TReports reports)
    : FGui(gui),
      FReports(std::move(reports)),
      FGate(std::make_shared<TGate>()),
      FHost(std::make_unique<THost>(*this)) {}

TStationRunner::~TStationRunner() {
    FGate->Open = false;
    FStop.request_stop();
    if (FThread.joinable()) FThread.join();
    FPacer.request_stop();
    if (FPacer.joinable()) FPacer.join();
    // Before the wake it calls goes.
    FStation.reset();
}

std::string TStationRunner::Open(std::unique_ptr<TStationSetup> setup, int& status) {
    FSetup = std::move(setup);
    FSetup->Options.Image = &FSetup->Image;
    FStation = std::make_unique<station::TStation>(FSetup->Options, *FHost);
    try {
        status = FStation->Open();
        if (status == station::esComplete) return {};
    } catch (...) {
        status = station::esBadFile;
        return ExceptionMessage(std::current_exception());
    }
    const std::string refusal = FHost->Refusal();
    return refusal.empty() ? "the station cannot start" : refusal;
}

void TStationRunner::Run() {
    FPacer = std::jthread([this](std::stop_token stop) { Pace(stop); });
    FThread = std::jthread([this] {
        NameThisThread("station");
        int status = station::esPortError;
        std::string failure;
        try {
            status = FStation->Run(FStop.get_token());
        } catch (...) {
            failure = ExceptionMessage(std::current_exception());
        }
        FPacer.request_stop();
        FGui.Post([this, gate = FGate, status, failure] {
            if (!gate->Open) return;
            FEnded = true;
            if (FReports.Changed) FReports.Changed(FStation->Snapshot());
            if (FReports.Ended) FReports.Ended(status, failure);
        });
    });
}

void TStationRunner::Pace(const std::stop_token& stop) {
    NameThisThread("station view");
    std::unique_lock lock(FLock);
    for (;;) {
        if (!FChanged.wait(lock, stop, [this] { return FPending; })) return;
        FPending = false;
        lock.unlock();
        Deliver();
        lock.lock();
        // Changes meanwhile wait for the next picture.
        FChanged.wait_for(lock, stop, kDeliveryGap, [] { return false; });
        if (stop.stop_requested()) return;
    }
}

void TStationRunner::Deliver() {
    FGui.Post([this, gate = FGate] {
        if (!gate->Open || FEnded) return;
        if (FReports.Changed) FReports.Changed(FStation->Snapshot());
    });
}

void TStationRunner::Stop() {
    FStop.request_stop();
}

void TStationRunner::Go(std::size_t board) {
    if (FStation && Running()) FStation->Go(board);
}

std::string TStationRunner::Checksum() const {
    return FStation ? FStation->Checksum() : std::string();
}

}  // namespace corvane
