#pragma once

#include <QApplication>
#include <QString>
#include <exception>
#include <functional>

namespace corvane {

// The application object. Its one addition to QApplication is the standard
// error display: an exception that leaves an event handler ends that handler
// and is shown in a message box with the exception's message; the event loop
// and the window go on.
class TApplication : public QApplication {
public:
    using TErrorDisplay = std::function<void(const QString& message)>;

    TApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

    // Replaces the message box (tests capture the messages here). An empty
    // display restores the message box.
    void SetErrorDisplay(TErrorDisplay display);

    // The standard error display, for handlers that catch an exception at
    // their own boundary. Works with any QApplication: without a
    // TApplication the message box is shown directly.
    static void HandleException(std::exception_ptr error);
    // The same display for a message already taken from an exception (one
    // that ended work on another thread).
    static void ShowError(const QString& message);
    // The text shown for an exception.
    static QString ExceptionMessage(std::exception_ptr error);

private:
    void ShowException(const QString& message);

    TErrorDisplay FErrorDisplay;
    // A box is open: an exception raised while it waits (a later tick, say)
    // goes to standard error instead of stacking another box on it.
    bool FShowingError = false;
};

}  // namespace corvane
