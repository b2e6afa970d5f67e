#pragma once

// What the tests on a real X server (xvfb-run) use: programs run to their
// end, keys typed with xdotool as a user's keyboard would type them.
#include <QGuiApplication>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QWidget>

namespace corvane::apptest {

// Whether there is an X server to run on (the test is skipped otherwise).
inline bool OnX() {
    return !qgetenv("DISPLAY").isEmpty() && QGuiApplication::platformName() == "xcb";
}

// Runs a program to its end; its standard output.
inline QString RunProgram(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(10000)) return {};
    return QString::fromLocal8Bit(process.readAllStandardOutput());
}

// Keys typed with xdotool into the window that has the keyboard; the event
// loop goes on meanwhile.
inline void Keys(const QStringList& arguments) {
    QProcess::startDetached("xdotool", arguments);
}

inline QString WindowId(const QWidget& widget) {
    return QStringLiteral("0x%1").arg(widget.winId(), 0, 16);
}

}  // namespace corvane::apptest
