// corvane-screenshot FILE [SECONDS]: opens the window as the program does,
// waits until it shows a chip (at most SECONDS, default 10), and saves the
// window's picture to FILE. Used for the picture in the README.
#include <QDeadlineTimer>
#include <QLabel>
#include <QPixmap>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "Application.h"
#include "UMain.h"

int main(int argc, char** argv) {
    corvane::TApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: corvane-screenshot FILE [SECONDS]\n");
        return 2;
    }
    const QString file = QString::fromLocal8Bit(argv[1]);
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 10;

    corvane::TFrmMain FrmMain;
    FrmMain.show();
    const auto* label = FrmMain.findChild<QLabel*>(QStringLiteral("LblTargetChip"));
    QDeadlineTimer deadline(seconds * 1000);
    while (label->text().isEmpty() && !deadline.hasExpired()) {
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    // Let the last changes paint.
    QApplication::processEvents();
    if (label->text().isEmpty()) std::fprintf(stderr, "corvane-screenshot: no chip shown\n");
    if (!FrmMain.grab().save(file)) {
        std::fprintf(stderr, "corvane-screenshot: cannot write %s\n", argv[1]);
        return 1;
    }
    return label->text().isEmpty() ? 1 : 0;
}
