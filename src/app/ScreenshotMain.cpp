// corvane-screenshot FILE [SECONDS]: opens the window as the program does,
// waits until it shows a chip (at most SECONDS, default 10), and saves the
// window's picture to FILE. Used for the pictures in the README.
//
// corvane-screenshot --station FILE SECONDS HEX [station options]: the
// window running a station, saved once two boards show a chip's end and
// another is in its pass (or after SECONDS).
#include <QDeadlineTimer>
#include <QLabel>
#include <QPixmap>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Application.h"
#include "UMain.h"

namespace {

// Enough of the station shows: two chips' ends and a pass under way.
bool StationShown(const corvane::TStationPicture& picture) {
    const auto ended = std::count_if(picture.Tiles.begin(), picture.Tiles.end(), [](const auto& t) {
        return t.Result != corvane::TTileResult::None;
    });
    const bool working = std::any_of(picture.Tiles.begin(), picture.Tiles.end(),
                                     [](const auto& t) { return t.BarShown && t.Done > 0; });
    return ended >= 2 && working;
}

}  // namespace

int main(int argc, char** argv) {
    corvane::TApplication app(argc, argv);
    const bool station = argc > 1 && std::string(argv[1]) == "--station";
    const int first = station ? 2 : 1;
    if (argc < first + 1 || (station && argc < first + 3)) {
        std::fprintf(stderr,
                     "usage: corvane-screenshot FILE [SECONDS]\n"
                     "       corvane-screenshot --station FILE SECONDS HEX [OPTION]...\n");
        return 2;
    }
    const QString file = QString::fromLocal8Bit(argv[first]);
    const int seconds = argc > first + 1 ? std::atoi(argv[first + 1]) : 10;

    corvane::TFrmMain FrmMain;
    FrmMain.show();
    std::function<bool()> shown;
    if (station) {
        corvane::TStationCommand command = corvane::StationFromCommandLine(
            std::vector<std::string>(argv + first + 2, argv + argc));
        const std::string refusal = command.Error.empty()
                                        ? FrmMain.Station().Start(std::move(command.Setup), false)
                                        : command.Error;
        if (!refusal.empty()) {
            std::fprintf(stderr, "corvane-screenshot: %s\n", refusal.c_str());
            return 2;
        }
        shown = [&] { return StationShown(FrmMain.Station().Picture()); };
    } else {
        const auto* label = FrmMain.findChild<QLabel*>(QStringLiteral("LblTargetChip"));
        shown = [label] { return !label->text().isEmpty(); };
    }
    QDeadlineTimer deadline(seconds * 1000);
    while (!shown() && !deadline.hasExpired()) {
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    // Let the last changes paint.
    QApplication::processEvents();
    if (!shown()) std::fprintf(stderr, "corvane-screenshot: not shown in time\n");
    if (!FrmMain.grab().save(file)) {
        std::fprintf(stderr, "corvane-screenshot: cannot write %s\n", argv[first]);
        return 1;
    }
    return shown() ? 0 : 1;
}
