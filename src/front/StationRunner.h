#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

#include "GuiQueue.h"
#include "Station.h"
#include "StationSnapshot.h"
#include "UHexFile.h"

namespace corvane {

// What a station starts with: its options and the file, read before.
struct TStationSetup {
    station::TStationOptions Options;  // Options.Image is set by the runner
    THexFile Image;
};

// A production station run for a window: the station's Run on a thread of its
// own, its changes brought to the GUI thread as whole snapshots, at most a
// few a second (a board's progress is never one call per byte). Every member
// function is for the GUI thread.
class TStationRunner {
public:
    struct TReports {
        // The station as it is now (after each change, coalesced).
        std::function<void(const station::TStationSnapshot& snapshot)> Changed;
        // Run has returned with its exit status (`failure`: the exception that
        // ended it, else empty); the last snapshot came before.
        std::function<void(int status, const std::string& failure)> Ended;
    };

    TStationRunner(TGuiQueue& gui, TReports reports);
    // Stops the station and waits until its chips in their write pass are done.
    ~TStationRunner();
    TStationRunner(const TStationRunner&) = delete;
    TStationRunner& operator=(const TStationRunner&) = delete;

    // Opens the station (no port yet: the serial number's place, the log and
    // the series); empty when it may run, else why it refuses, with the exit
    // status in `status` (as corvane-cli station's).
    std::string Open(std::unique_ptr<TStationSetup> setup, int& status);
    // Runs the station opened on its own thread until Stop().
    void Run();
    // As Ctrl+C in the terminal: chips before their write pass end at once,
    // chips in it are finished.
    void Stop();
    // Starts the next chip of a board that waits for Go (a 2051/4051).
    void Go(std::size_t board);
    // The station's thread is running (Run until Ended came).
    bool Running() const { return FThread.joinable() && !FEnded; }
    // The file's checksum as the board gives it, once opened.
    std::string Checksum() const;

private:
    class THost;
    struct TGate;
    void Pace(const std::stop_token& stop);
    void Deliver();

    TGuiQueue& FGui;
    TReports FReports;
    std::shared_ptr<TGate> FGate;
    std::unique_ptr<THost> FHost;
    std::unique_ptr<TStationSetup> FSetup;
    std::unique_ptr<station::TStation> FStation;
    std::stop_source FStop;
    bool FEnded = false;

    // A change waits to be taken (set by the station's threads).
    std::mutex FLock;
    std::condition_variable_any FChanged;
    bool FPending = false;
    std::jthread FPacer;
    std::jthread FThread;
};

}  // namespace corvane
