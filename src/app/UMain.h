#pragma once

#include <QDialog>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "LinkRunner.h"
#include "ProgrammerLink.h"
#include "ProgrammerView.h"

class QButtonGroup;
class QFileDialog;
class QTimer;

namespace Ui {
class TFrmMain;
}

namespace corvane {

// The main window: the chip in the programmer's socket, the options, Send and
// Read, the status line and the progress bar. It drives the programmer link
// (polling on Timer1, the workflows from the buttons), which runs on a worker
// thread of its own (TLinkRunner), and shows what the link reports: the
// window is the link's view, reached on the GUI thread.
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
    // with the chip kind the link last reported.
    void UpdateChipDisplay();
    void Timer1Timer();
    void btnSendClick();
    void BtnReadClick();
    void rdoMemSizeClick();

    // The chip kind the link reported at the end of the last poll.
    TChipKind ChipKind() const { return FChipKind; }
    void SetChipKind(TChipKind kind) { FChipKind = kind; }
    TLinkRunner& Runner() { return *FRunner; }
    // The link itself lives on the worker thread: look at it only while the
    // window is not busy.
    TProgrammerLink& Link() { return FRunner->Link(); }
    QTimer& Timer1() { return *FTimer1; }
    // A poll, a file dialog or a workflow is under way.
    bool Busy() const { return FBusy; }
    // A Send or a Read is under way (Escape stops it).
    bool Working() const { return FWorking; }
    // The Send or Read under way has been asked to stop: the status line
    // says "Stopping..." until it has ended, then what the link said last.
    bool Stopping() const { return FStopping; }

    // A request of the system that the program end (SIGTERM, a logout, a
    // closed terminal): the window closes as its close button closes it, and
    // the program then ends with `exitStatus`.
    void RequestClose(int exitStatus);
    // The program's exit status: 0, or that of the system's request.
    int ExitStatus() const { return FExitStatus; }
    // The window was closed again while a Send or Read was being stopped:
    // the worker may still be on the line, and the program ends without
    // waiting for it.
    bool WorkAbandoned() const { return FWorkAbandoned; }

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
    void closeEvent(QCloseEvent* event) override;

private:
    friend struct TFrmMainTestAccess;

    std::optional<QString> ChooseFile(TFileDialog kind);
    // Runs a handler; an exception it lets out goes to the error display.
    void RunHandler(void (TFrmMain::*handler)());
    // Asks for the file and hands the workflow to the link.
    void StartWorkflow(TFileDialog kind);
    // A poll, a dialog or a workflow begins and ends: the busy flag, and
    // afterwards the poll timer and the cursor as they were before.
    void BeginWork();
    void EndWork();
    // Asks the Send or Read under way to stop: "Stopping..." shows at once;
    // what the link reports meanwhile shows when the work has ended.
    void StopWork();
    void SetStatusText(const QString& text);
    // What the link reports at the end of a poll and of a workflow.
    void PollEnded(TChipKind kind);
    void WorkflowEnded(bool failed, const QString& message);

    std::unique_ptr<Ui::TFrmMain> ui;
    QTimer* FTimer1;
    QFileDialog* OpenDialog1;
    QFileDialog* SaveDialog1;
    QButtonGroup* FMemSizeItems;
    TFileChooser FFileChooser;
    TMessageDisplay FMessageDisplay;

    bool FBusy = false;
    bool FPolling = false;
    bool FWorking = false;
    bool FStopping = false;
    // The status the line shows once a stopped Send or Read has ended.
    QString FHeldStatus;
    // A close was asked for: the window closes once the work has ended (or
    // has closed already); no poll starts from now on.
    bool FClosing = false;
    bool FWorkAbandoned = false;
    int FExitStatus = 0;
    // The timer and the wait cursors when the current work began.
    bool FTimerWasActive = false;
    int FWaitCursorsBefore = 0;
    // A click on Send or Read that came during a poll: it runs when the poll ends.
    std::optional<TFileDialog> FDeferredClick;
    // The folder of the file last chosen; both dialogs open there.
    QString FLastFolder;
    std::unique_ptr<TLinkRunner> FRunner;
    TChipKind FChipKind = ckNone;
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
