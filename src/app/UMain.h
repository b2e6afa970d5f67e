#pragma once

#include <QDialog>
#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

#include "LinkRunner.h"
#include "ProgrammerLink.h"
#include "StationView.h"
#include "WindowControls.h"
#include "WindowRules.h"

class QButtonGroup;
class QPushButton;
class QFileDialog;
class QTimer;

namespace Ui {
class TFrmMain;
}

namespace corvane {

class TStationPanel;

// The main window in Qt: the chip in the programmer's socket, the options,
// Send and Read, the status line and the progress bar. What the controls show
// and when, the worker that drives the programmer link and the window's
// states are the toolkit-free rules (TWindowRules); this class holds the
// widgets and the dialogs and hands the window's events to the rules.
class TFrmMain : public QDialog, public IWindowControls, public IStationControls, public IGuiWake {
public:
    using TFileDialog = corvane::TFileDialog;
    // Asks the user for a file; nothing when the dialog was cancelled.
    using TFileChooser = std::function<std::optional<QString>(TFileDialog)>;
    using TMessageDisplay = std::function<void(const QString& text)>;

    explicit TFrmMain(QWidget* parent = nullptr);
    ~TFrmMain() override;

    // The handlers of the window.
    void FormCreate();
    void FormDestroy();
    void UpdateChipDisplay() { FRules->UpdateChipDisplay(); }
    void Timer1Timer() { FRules->Tick(); }
    void btnSendClick() { FRules->SendClicked(); }
    void BtnReadClick() { FRules->ReadClicked(); }
    void rdoMemSizeClick() { FRules->MemSizeClicked(); }
    void btnStationClick() { FStation->StationClicked(); }

    // The production station, whose view takes the window's place while it runs.
    TStationRules& Station() { return *FStation; }

    TWindowRules& Rules() { return *FRules; }
    TChipKind ChipKind() const { return FRules->ChipKind(); }
    void SetChipKind(TChipKind kind) { FRules->SetChipKind(kind); }
    TLinkRunner& Runner() { return FRules->Runner(); }
    // The link itself lives on the worker thread: look at it only while the
    // window is not busy.
    TProgrammerLink& Link() { return Runner().Link(); }
    QTimer& Timer1() { return *FTimer1; }
    bool Busy() const { return FRules->Busy(); }
    bool Working() const { return FRules->Working(); }
    bool Stopping() const { return FRules->Stopping(); }
    void RequestClose(int exitStatus) { FRules->RequestClose(exitStatus); }
    int ExitStatus() const { return FRules->ExitStatus(); }
    bool WorkAbandoned() const { return FRules->WorkAbandoned(); }

    // Replace the modal file dialogs and message boxes (tests, benchmarks).
    // An empty function restores the dialog.
    void SetFileChooser(TFileChooser chooser);
    void SetMessageDisplay(TMessageDisplay display);

    // The option controls.
    bool FastVerifyEnabled() const override;
    bool FastVerifyChecked() const override;
    bool LockChecked() const override;
    int MemSizeIndex() const override;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    // A file dropped from the file manager: sent as Send would send it.
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    // The GUI queue's wake-ups: the only events of a user type the window gets.
    void customEvent(QEvent* event) override;

private:
    // IWindowControls
    void SetChipLabel(const std::string& text, TLabelColour colour, int top) override;
    void SetSendReadEnabled(bool enabled) override;
    bool SendReadEnabled() const override;
    void SetMemSizeVisible(bool visible) override;
    void SetFastVerifyEnabled(bool enabled) override;
    void SetStatusText(const std::string& text) override;
    std::string StatusText() const override;
    void SetStatusNotice(const std::string& notice) override;
    void SetBarRange(int min, int max) override;
    void SetBarPosition(int position) override;
    void SetPollTimerActive(bool active) override;
    bool PollTimerActive() const override;
    void SetWaitCursor(bool shown) override;
    std::optional<TFileChoice> ChooseFile(const TFileRequest& request) override;
    void ShowMessageBox(const std::string& text) override;
    void CloseMessageBox() override;
    void ShowError(const std::string& message) override;
    void CloseWindow() override;
    // IStationControls
    bool EditStationSettings(TStationSettings& settings, const std::string& error) override;
    void ShowStationView(bool shown) override;
    void DrawStation(const TStationPicture& picture) override;
    void SetWindowTitle(const std::string& title) override;
    void SoundFailure() override;
    // IGuiWake
    void WakeGui() override;
    // The station view's size for its tiles.
    void FitStationView();

    std::unique_ptr<Ui::TFrmMain> ui;
    QTimer* FTimer1;
    QFileDialog* OpenDialog1;
    QFileDialog* SaveDialog1;
    QButtonGroup* FMemSizeItems;
    TFileChooser FFileChooser;
    TMessageDisplay FMessageDisplay;
    // The link's box while it is open.
    QPointer<QMessageBox> FMessageBox;
    std::unique_ptr<TWindowRules> FRules;
    // The one-chip window's widgets, and the station's view in their place.
    QWidget* FChipPage;
    QPushButton* FBtnStation;
    TStationPanel* FStationPanel;
    QString FTitle;
    // The station view has been fitted since it was shown.
    bool FStationFitted = false;
    std::unique_ptr<TStationRules> FStation;
};

}  // namespace corvane
