#include "UMain.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QCompleter>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMessageBox>
#include <QTimer>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <utility>

#include "Application.h"
#include "ui_UMain.h"

// Resources of a static library are registered by hand.
static void InitGlyphs() {
    Q_INIT_RESOURCE(glyphs);
}

namespace corvane {

namespace {

const QString kHexFilter = QStringLiteral("Intel Hex File (*.hex)");
const QString kHexSuffix = QStringLiteral("Hex");
const QString kStopping = QStringLiteral("Stopping...");

// The link asks for a repaint of the whole window after every byte (a link
// driven on the GUI thread itself needs that for the progress bar to move;
// the window's own worker does not pass it on). A whole repaint costs far
// more than a byte on the line, and no screen shows more than about 60
// pictures a second: repaints that would only move the progress bar come at
// most this often.
constexpr std::chrono::milliseconds kProgressRepaintGap(20);

void SetTextColour(QWidget& widget, const QColor& colour) {
    QPalette palette = widget.palette();
    palette.setColor(QPalette::WindowText, colour);
    widget.setPalette(palette);
}

// A file dialog that takes its completion list with it when it closes. The
// list of the name field stays open when Enter accepts a typed path while it
// shows, and would be left on the screen, holding the keyboard and the mouse,
// after the dialog has gone.
class THexFileDialog : public QFileDialog {
public:
    using QFileDialog::QFileDialog;
    void done(int result) override {
        for (QCompleter* completer : findChildren<QCompleter*>()) {
            if (completer->popup() != nullptr) completer->popup()->hide();
        }
        QFileDialog::done(result);
    }
};

}  // namespace

TFrmMain::TFrmMain(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                          Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      ui(std::make_unique<Ui::TFrmMain>()) {
    InitGlyphs();
    ui->setupUi(this);
    // The form's own place on the screen (the form description sets only
    // the size of a window).
    move(220, 108);
    setFixedSize(302, 118);
    FMemSizeItems = ui->rdoMemSizeItems;
    FMemSizeItems->setId(ui->rdoMemSize2KB, 0);
    FMemSizeItems->setId(ui->rdoMemSize4KB, 1);

    FTimer1 = new QTimer(this);
    FTimer1->setObjectName(QStringLiteral("Timer1"));
    FTimer1->setInterval(1000);

    OpenDialog1 = new THexFileDialog(this);
    OpenDialog1->setObjectName(QStringLiteral("OpenDialog1"));
    OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);
    OpenDialog1->setFileMode(QFileDialog::ExistingFile);
    OpenDialog1->setNameFilter(kHexFilter);
    OpenDialog1->setDefaultSuffix(kHexSuffix);

    SaveDialog1 = new THexFileDialog(this);
    SaveDialog1->setObjectName(QStringLiteral("SaveDialog1"));
    SaveDialog1->setAcceptMode(QFileDialog::AcceptSave);
    SaveDialog1->setFileMode(QFileDialog::AnyFile);
    SaveDialog1->setNameFilter(kHexFilter);
    SaveDialog1->setDefaultSuffix(kHexSuffix);
    SaveDialog1->setOption(QFileDialog::DontConfirmOverwrite, false);

    connect(FTimer1, &QTimer::timeout, this, [this] { RunHandler(&TFrmMain::Timer1Timer); });
    connect(ui->btnSend, &QPushButton::clicked, this,
            [this] { RunHandler(&TFrmMain::btnSendClick); });
    connect(ui->BtnRead, &QPushButton::clicked, this,
            [this] { RunHandler(&TFrmMain::BtnReadClick); });
    connect(FMemSizeItems, &QButtonGroup::idClicked, this,
            [this](int) { RunHandler(&TFrmMain::rdoMemSizeClick); });

    FormCreate();
    FTimer1->start();
}

TFrmMain::~TFrmMain() {
    FTimer1->stop();
    FormDestroy();
}

void TFrmMain::FormCreate() {
    // The link creates the two images (empty until a chip kind sizes them)
    // and the port list, and starts with no chip; it runs on a thread of its
    // own, so the window never waits on the line.
    FRunner = std::make_unique<TLinkRunner>(
        *this, [this](TChipKind kind) { PollEnded(kind); },
        [this](bool failed, const QString& message) { WorkflowEnded(failed, message); });
    FChipKind = ckNone;
    FShownKind = ckNone;
    FBusy = false;
}

void TFrmMain::FormDestroy() {
    // Stops the work (the link puts the board back at its prompt), closes
    // the port and frees the images and the port list.
    FRunner.reset();
}

void TFrmMain::RunHandler(void (TFrmMain::*handler)()) {
    try {
        (this->*handler)();
    } catch (...) {
        TApplication::HandleException(std::current_exception());
    }
}

void TFrmMain::UpdateChipDisplay() {
    const TChipKind kind = FChipKind;
    FShownKind = kind;
    ui->BtnRead->setEnabled(kind != ckNone);
    ui->btnSend->setEnabled(ui->BtnRead->isEnabled());
    if (kind == ckNone) {
        ui->rdoMemSize->hide();
        ui->LblTargetChip->move(ui->LblTargetChip->x(), 30);
        SetTextColour(*ui->LblTargetChip, Qt::red);
        ui->LblTargetChip->clear();
        return;
    }
    SetTextColour(*ui->LblTargetChip, ui->GroupBox1->palette().color(QPalette::WindowText));
    ui->rdoMemSize->setVisible(kind == ck89C2051);
    ui->LblTargetChip->move(ui->LblTargetChip->x(), kind == ck89C2051 ? 15 : 30);
    ui->LblTargetChip->setText(QString::fromStdString(ChipLabel(kind)));
    if (kind == ck89C2051) {
        FRunner->ApplyMemSize(MemSizeIndex());
        ui->pnlVerbose->clear();
        ui->chkFastVerify->setEnabled(false);
    } else {
        ui->pnlVerbose->clear();
        ui->chkFastVerify->setEnabled(true);
    }
}

void TFrmMain::BeginWork() {
    FBusy = true;
    FTimerWasActive = FTimer1->isActive();
    FWaitCursorsBefore = FWaitCursors;
}

void TFrmMain::EndWork() {
    while (FWaitCursors > FWaitCursorsBefore) RestoreCursor();
    if (FTimerWasActive && !FClosing && !FTimer1->isActive()) FTimer1->start();
    FBusy = false;
}

void TFrmMain::StopWork() {
    if (FStopping) return;
    FRunner->RequestStop();
    FStopping = true;
    FHeldStatus = ui->pnlVerbose->text();
    SetStatusText(kStopping);
}

void TFrmMain::Timer1Timer() {
    if (FBusy) return;
    BeginWork();
    FPolling = true;
    FRunner->Poll();
}

void TFrmMain::PollEnded(TChipKind kind) {
    FPolling = false;
    EndWork();
    FChipKind = kind;
    if (FChipKind != FShownKind) UpdateChipDisplay();
    // A click that came during the poll: the window held it until now.
    if (const auto kindOfClick = std::exchange(FDeferredClick, std::nullopt)) {
        QPushButton* button = *kindOfClick == TFileDialog::Open ? ui->btnSend : ui->BtnRead;
        if (button->isEnabled()) {
            RunHandler(*kindOfClick == TFileDialog::Open ? &TFrmMain::btnSendClick
                                                         : &TFrmMain::BtnReadClick);
        }
    }
}

void TFrmMain::btnSendClick() {
    StartWorkflow(TFileDialog::Open);
}

void TFrmMain::BtnReadClick() {
    StartWorkflow(TFileDialog::Save);
}

void TFrmMain::StartWorkflow(TFileDialog kind) {
    if (FBusy) {
        // During a poll the click waits for the poll's end; during a
        // workflow (or an open dialog) it is ignored.
        if (FPolling && !FWorking) FDeferredClick = kind;
        return;
    }
    BeginWork();
    std::optional<QString> fileName;
    try {
        fileName = ChooseFile(kind);
    } catch (...) {
        EndWork();
        throw;
    }
    if (!fileName || FClosing) {
        EndWork();
        return;
    }
    // The options the workflow reads are those of this moment.
    TWorkflowOptions options;
    options.FastVerifyEnabled = FastVerifyEnabled();
    options.FastVerifyChecked = FastVerifyChecked();
    options.LockChecked = LockChecked();
    options.MemSizeIndex = MemSizeIndex();
    const std::string file = QFile::encodeName(*fileName).toStdString();
    FWorking = true;
    if (kind == TFileDialog::Open) {
        FRunner->Program(file, options);
    } else {
        FRunner->Read(file, options);
    }
}

void TFrmMain::WorkflowEnded(bool failed, const QString& message) {
    FWorking = false;
    if (std::exchange(FStopping, false)) SetStatusText(FHeldStatus);
    EndWork();
    if (FClosing) {
        // The board is back at its prompt: the close asked for goes ahead.
        if (failed) std::fprintf(stderr, "corvane: %s\n", message.toLocal8Bit().constData());
        close();
        return;
    }
    if (failed) TApplication::ShowError(message);
}

void TFrmMain::rdoMemSizeClick() {
    FRunner->ApplyMemSize(MemSizeIndex());
}

void TFrmMain::SetFileChooser(TFileChooser chooser) {
    FFileChooser = std::move(chooser);
}

void TFrmMain::SetMessageDisplay(TMessageDisplay display) {
    FMessageDisplay = std::move(display);
}

std::optional<QString> TFrmMain::ChooseFile(TFileDialog kind) {
    if (FFileChooser) return FFileChooser(kind);
    QFileDialog& dialog = kind == TFileDialog::Open ? *OpenDialog1 : *SaveDialog1;
    if (!FLastFolder.isEmpty()) dialog.setDirectory(FLastFolder);
    const int result = dialog.exec();
    if (result != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    const QString fileName = dialog.selectedFiles().constFirst();
    FLastFolder = QFileInfo(fileName).absolutePath();
    return fileName;
}

void TFrmMain::keyPressEvent(QKeyEvent* event) {
    // A main window: Escape does not close it as it would a dialog; it stops
    // a Send or a Read that is under way.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        if (FWorking) StopWork();
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void TFrmMain::closeEvent(QCloseEvent* event) {
    if (FWorking && !FClosing) {
        // A Send or Read stops as on Escape, and the window stays, with
        // "Stopping..." and the bar, until the link has finished the board's
        // pass; then it closes (WorkflowEnded).
        FClosing = true;
        StopWork();
        std::fprintf(stderr,
                     "corvane: Stopping... the programmer's pass is finished first (a second close "
                     "or signal ends at once)\n");
        event->ignore();
        return;
    }
    if (FWorking) {
        // Asked again: the window closes now, and the program ends without
        // waiting for the link.
        FWorkAbandoned = true;
        std::fprintf(stderr, "corvane: closed at once: the programmer board may need a reset\n");
    }
    FClosing = true;
    FTimer1->stop();
    // A poll stops at once; the link waits for what the board still owes it
    // before the worker ends (FormDestroy).
    if (FBusy) FRunner->RequestStop();
    QDialog::closeEvent(event);
}

void TFrmMain::RequestClose(int exitStatus) {
    FExitStatus = exitStatus;
    close();
}

void TFrmMain::ShowStatus(const std::string& text) {
    const QString status = QString::fromStdString(text);
    if (FStopping) {
        FHeldStatus = status;
    } else {
        SetStatusText(status);
    }
}

void TFrmMain::SetStatusText(const QString& text) {
    ui->pnlVerbose->setText(text);
    FRepaintNeeded = true;
}

void TFrmMain::RepaintStatus() {
    ui->pnlVerbose->repaint();
}

void TFrmMain::RepaintWindow() {
    const auto now = std::chrono::steady_clock::now();
    if (!FRepaintNeeded && now - FLastRepaint < kProgressRepaintGap) return;
    if (FPendingPosition) ui->pbLoading->setValue(*std::exchange(FPendingPosition, std::nullopt));
    repaint();
    FLastRepaint = now;
    FRepaintNeeded = false;
}

void TFrmMain::SetProgressRange(int min, int max) {
    // QProgressBar shows a busy animation for an empty range; a one-byte pass
    // is an ordinary range of one step.
    if (FPendingPosition) ui->pbLoading->setValue(*std::exchange(FPendingPosition, std::nullopt));
    ui->pbLoading->setRange(min, max > min ? max : min + 1);
    FRepaintNeeded = true;
}

void TFrmMain::SetProgressPosition(int position) {
    QProgressBar& bar = *ui->pbLoading;
    const int shown = bar.value();
    // Back to the start (the end of a pass) shows at the next repaint.
    if (position < shown) FRepaintNeeded = true;
    // The bar works out its whole look each time its value is set, which
    // costs more than a byte on the line. A position that would not move the
    // filled part by a pixel waits for the next repaint or the next step that
    // does; either end of the range and going back are set at once.
    const auto filled = [&bar](int value) {
        return (std::int64_t{value} - bar.minimum()) * bar.width() /
               (std::int64_t{bar.maximum()} - bar.minimum());
    };
    if (position > shown && position > bar.minimum() && position < bar.maximum() &&
        filled(position) == filled(shown)) {
        FPendingPosition = position;
        return;
    }
    FPendingPosition.reset();
    bar.setValue(position);
}

void TFrmMain::ShowMessage(const std::string& text) {
    // The link's messages are 8-bit characters (a wrong echo is one raw byte
    // from the line), not UTF-8.
    const QString message = QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
    if (FMessageDisplay) {
        FMessageDisplay(message);
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, QApplication::applicationName(), message, QMessageBox::Ok,
                    this);
    box.exec();
}

void TFrmMain::ShowWaitCursor() {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    ++FWaitCursors;
}

void TFrmMain::RestoreCursor() {
    if (FWaitCursors == 0) return;
    --FWaitCursors;
    QApplication::restoreOverrideCursor();
}

void TFrmMain::SetPollTimerEnabled(bool enabled) {
    if (enabled) {
        FTimer1->start();
    } else {
        FTimer1->stop();
    }
}

bool TFrmMain::FastVerifyEnabled() const {
    return ui->chkFastVerify->isEnabled();
}

bool TFrmMain::FastVerifyChecked() const {
    return ui->chkFastVerify->isChecked();
}

bool TFrmMain::LockChecked() const {
    return ui->chkLock->isChecked();
}

int TFrmMain::MemSizeIndex() const {
    return FMemSizeItems->checkedId();
}

void TFrmMain::ShowPortNotice(const std::string& text) {
    ui->pnlVerbose->setToolTip(
        QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size())));
}

}  // namespace corvane
