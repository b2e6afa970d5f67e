#include "Application.h"

#include <QMessageBox>
#include <cstdio>
#include <utility>

namespace corvane {

namespace {

void ShowErrorBox(const QString& message) {
    QMessageBox box(QMessageBox::Critical, QApplication::applicationName(), message,
                    QMessageBox::Ok, QApplication::activeWindow());
    box.exec();
}

}  // namespace

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("Corvane"));
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        HandleException(std::current_exception());
        return false;
    }
}

void TApplication::SetErrorDisplay(TErrorDisplay display) {
    FErrorDisplay = std::move(display);
}

QString TApplication::ExceptionMessage(std::exception_ptr error) {
    try {
        std::rethrow_exception(std::move(error));
    } catch (const std::exception& e) {
        return QString::fromStdString(e.what());
    } catch (...) {
        return QStringLiteral("Unknown exception");
    }
}

void TApplication::HandleException(std::exception_ptr error) {
    ShowError(ExceptionMessage(std::move(error)));
}

void TApplication::ShowError(const QString& message) {
    if (auto* app = dynamic_cast<TApplication*>(QCoreApplication::instance())) {
        app->ShowException(message);
    } else {
        ShowErrorBox(message);
    }
}

void TApplication::ShowException(const QString& message) {
    if (FShowingError) {
        std::fprintf(stderr, "corvane: %s\n", message.toLocal8Bit().constData());
        return;
    }
    FShowingError = true;
    try {
        if (FErrorDisplay) {
            FErrorDisplay(message);
        } else {
            ShowErrorBox(message);
        }
    } catch (...) {
        // Nothing may leave the event notification.
        std::fprintf(stderr, "corvane: %s\n", message.toLocal8Bit().constData());
    }
    FShowingError = false;
}

}  // namespace corvane
