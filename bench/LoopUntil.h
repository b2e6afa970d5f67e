#pragma once

#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <functional>

namespace corvane::bench {

// Runs the GUI thread's event loop until `done` holds (looked at every `period`).
inline void LoopUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds period = std::chrono::milliseconds(10)) {
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (done()) loop.quit();
    });
    check.start(period);
    if (!done()) loop.exec();
}

}  // namespace corvane::bench
