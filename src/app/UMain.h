#pragma once

#include <QDialog>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "ProgrammerLink.h"
#include "ProgrammerView.h"

class QButtonGroup;
class QFileDialog;
class QTimer;

namespace Ui {
class TFrmMain;
}

namespace corvane {

class TQtEventDispatcher;

// The main window: the chip in the programmer's socket, the options, Send and
// Read, the status line and the progress bar. It drives the programmer link
// (polling on Timer1, the workflows from the buttons) and is the link's view.
class TFrmMain : public QDialog, public IProgrammerView {
public:
    enum class TFileDialog { Open, Save };
    // Asks the user for a file; nothing when the dialog was cancelled.
    using TFileChooser = std::function<std::optional<QString>(TFileDialog)>;
    using TMessageDisplay = std::function<void(const QString& text)>;

    explicit TFrmMain(QWidget* parent = nullptr);
    ~TFrmMain() override;

    // The handlers of the window.
    void FormCreate();
    void FormDestroy();
    // Brings the label, the buttons, the size choice and chkFastVerify in line
    // with the link's chip kind.
    void UpdateChipDisplay();
    void Timer1Timer();
    void btnSendClick();
    void BtnReadClick();
    void rdoMemSizeClick();

    TProgrammerLink& Link() { return *FLink; }
    QTimer& Timer1() { return *FTimer1; }
    bool Busy() const { return FBusy; }

    // Replace the modal file dialogs and message boxes (tests, benchmarks).
    // An empty function restores the dialog.
    void SetFileChooser(TFileChooser chooser);
    void SetMessageDisplay(TMessageDisplay display);

    // IProgrammerView
    void ShowStatus(const std::string& text) override;
    void RepaintStatus() override;
    void RepaintWindow() override;
    void SetProgressRange(int min, int max) override;
    void SetProgressPosition(int position) override;
    void ShowMessage(const std::string& text) override;
    void ShowWaitCursor() override;
    void RestoreCursor() override;
    void SetPollTimerEnabled(bool enabled) override;
    bool FastVerifyEnabled() const override;
    bool FastVerifyChecked() const override;
    bool LockChecked() const override;
    int MemSizeIndex() const override;
    // The status line's tooltip: the status text itself stays as it is.
    void ShowPortNotice(const std::string& text) override;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    class THandlerScope;
    friend class THandlerScope;
    friend struct TFrmMainTestAccess;

    std::optional<QString> ChooseFile(TFileDialog kind);
    // Runs a handler; an exception it lets out goes to the error display.
    void RunHandler(void (TFrmMain::*handler)());

    std::unique_ptr<Ui::TFrmMain> ui;
    QTimer* FTimer1;
    QFileDialog* OpenDialog1;
    QFileDialog* SaveDialog1;
    QButtonGroup* FMemSizeItems;
    TQtEventDispatcher* FDispatcher;
    TFileChooser FFileChooser;
    TMessageDisplay FMessageDisplay;

    bool FBusy = false;
    std::unique_ptr<TProgrammerLink> FLink;
    // The kind the display was last brought in line with.
    TChipKind FShownKind = ckNone;
    // Wait cursors shown and not yet put back.
    int FWaitCursors = 0;
    // Whole-window repaints: one that would only move the progress bar waits
    // until kProgressRepaintGap has passed since the last one.
    std::chrono::steady_clock::time_point FLastRepaint{};
    bool FRepaintNeeded = true;
    // A progress position not yet given to the bar (it would not move it by a pixel).
    std::optional<int> FPendingPosition;
};

}  // namespace corvane
