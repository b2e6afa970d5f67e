#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QDeadlineTimer>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStringList>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <utility>

#include "Application.h"
#include "UMain.h"

// Readable QStrings in test failures.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace corvane {

// Reaches the window's busy flag, which only the handlers change.
struct TWindowRulesTestAccess {
    static bool& Busy(TWindowRules& rules) { return rules.FBusy; }
};
struct TFrmMainTestAccess {
    static bool& Busy(TFrmMain& form) { return TWindowRulesTestAccess::Busy(form.Rules()); }
};

namespace apptest {

// A directory of its own for one test, removed with everything in it.
class TTempDir {
public:
    TTempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "corvane-app-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        FPath = pattern;
    }
    ~TTempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(FPath, ignored);
    }
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;
    const std::filesystem::path& Path() const { return FPath; }
    std::string File(const std::string& name) const { return (FPath / name).string(); }

private:
    std::filesystem::path FPath;
};

template <typename T>
T& Control(TFrmMain& form, const char* name) {
    T* control = form.findChild<T*>(QString::fromLatin1(name));
    if (control == nullptr) throw std::runtime_error(std::string("no control ") + name);
    return *control;
}

// Serves Qt's event loop until `done` holds or `timeoutMs` has passed.
inline bool ServeUntil(const std::function<bool()>& done, int timeoutMs = 10000) {
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired()) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// Runs Qt's event loop as the program does (until the last window has closed);
// its exit code, or 1 when `timeoutMs` passed first.
inline int ExecWithin(int timeoutMs) {
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    guard.start(timeoutMs);
    return QApplication::exec();
}

inline TApplication& App() {
    return *static_cast<TApplication*>(QCoreApplication::instance());
}

// A window over a device map of its own (empty until a test announces a
// programmer in it), with the error display, the message boxes and the file
// dialogs captured.
class WindowFixture : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("CORVANE_SERIALCOMM", Map.Path().c_str(), 1);
        App().SetErrorDisplay([this](const QString& message) { Errors << message; });
        Form = std::make_unique<TFrmMain>();
        Form->SetMessageDisplay([this](const QString& text) { Messages << text; });
        Form->SetFileChooser([this](TFrmMain::TFileDialog kind) -> std::optional<QString> {
            Asked.push_back(kind);
            return ChosenFile;
        });
    }
    void TearDown() override {
        Form.reset();
        App().SetErrorDisplay(nullptr);
        unsetenv("CORVANE_SERIALCOMM");
    }

    QLabel& Label() { return Control<QLabel>(*Form, "LblTargetChip"); }
    QLabel& Status() { return Control<QLabel>(*Form, "pnlVerbose"); }
    QGroupBox& MemSize() { return Control<QGroupBox>(*Form, "rdoMemSize"); }
    QCheckBox& Lock() { return Control<QCheckBox>(*Form, "chkLock"); }
    QCheckBox& FastVerify() { return Control<QCheckBox>(*Form, "chkFastVerify"); }
    QPushButton& Send() { return Control<QPushButton>(*Form, "btnSend"); }
    QPushButton& Read() { return Control<QPushButton>(*Form, "BtnRead"); }
    QProgressBar& Progress() { return Control<QProgressBar>(*Form, "pbLoading"); }

    // Puts the chip kind into the link and refreshes the display, as a tick
    // that recognised it does.
    void ShowKind(TChipKind kind) {
        Form->Runner().Call([kind](TProgrammerLink& link) { link.SetChipKind(kind); });
        Form->SetChipKind(kind);
        Form->UpdateChipDisplay();
    }

    // Serves the event loop until the window is no longer busy.
    bool WaitIdle(int timeoutMs = 120000) {
        return ServeUntil([this] { return !Form->Busy(); }, timeoutMs);
    }
    // One tick of Timer1, served until the poll has ended.
    void Tick() {
        Form->Timer1Timer();
        ASSERT_TRUE(WaitIdle());
    }
    // A click, served until what it started has ended.
    void ClickAndWait(QPushButton& button) {
        button.click();
        ASSERT_TRUE(WaitIdle());
    }
    // The sizes of the link's source and read images, as the worker has them
    // once the commands given so far have run.
    std::pair<int, int> ImageSizes() {
        std::pair<int, int> sizes;
        Form->Runner().Call([&](TProgrammerLink& link) {
            sizes = {link.SourceImage().MemSize(), link.ReadImage().MemSize()};
        });
        return sizes;
    }

    TTempDir Map;
    std::unique_ptr<TFrmMain> Form;
    QStringList Errors;
    QStringList Messages;
    std::vector<TFrmMain::TFileDialog> Asked;
    std::optional<QString> ChosenFile;
};

}  // namespace apptest
}  // namespace corvane
