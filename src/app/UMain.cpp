#include "UMain.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QCompleter>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMimeData>
#include <QTimer>
#include <QUrl>
#include <utility>

#include "Application.h"
#include "PortScreen.h"
#include "StationDialog.h"
#include "StationPanel.h"
#include "ui_UMain.h"

// Resources of a static library are registered by hand.
static void InitGlyphs() {
    Q_INIT_RESOURCE(glyphs);
}

namespace corvane {

namespace {

// The one-chip window's size: the classic window and the strip below it.
constexpr int kWidth = 302;
constexpr int kHeight = 146;

// The station view's size at the least.
constexpr int kStationWidth = 540;
constexpr int kStationHeight = 280;

// The wake-ups of the GUI queue.
const QEvent::Type kDrainEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

// The default extension of each type a dialog offers, in the order of its list.
constexpr const char* kSuffixesProperty = "corvaneDefaultSuffixes";

// Gives a dialog what the window's policy offers.
void Offer(QFileDialog& dialog, const TFileRequest& request) {
    QStringList labels;
    QStringList suffixes;
    for (const TFileFilter& filter : request.Filters) {
        labels << QString::fromStdString(filter.Label());
        suffixes << QString::fromStdString(filter.DefaultExtension);
    }
    dialog.setProperty(kSuffixesProperty, suffixes);
    dialog.setNameFilters(labels);
    if (request.FilterIndex >= 0 && request.FilterIndex < labels.size()) {
        dialog.selectNameFilter(labels[request.FilterIndex]);
        dialog.setDefaultSuffix(suffixes[request.FilterIndex]);
    }
    if (!request.Folder.empty()) dialog.setDirectory(QFile::decodeName(request.Folder.c_str()));
}

void SetTextColour(QWidget& widget, const QColor& colour) {
    QPalette palette = widget.palette();
    palette.setColor(QPalette::WindowText, colour);
    widget.setPalette(palette);
}

QString FromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
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
    // The one-chip window's widgets on a page of their own, which the
    // station's view replaces while a station runs; "Station..." in a strip
    // below them.
    FChipPage = new QWidget(this);
    FChipPage->setObjectName(QStringLiteral("chipPage"));
    FChipPage->setGeometry(0, 0, kWidth, kHeight);
    for (QWidget* widget : findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (widget == FChipPage) continue;
        widget->setParent(FChipPage);
        widget->show();
    }
    FBtnStation = new QPushButton(QStringLiteral("S&tation..."), FChipPage);
    FBtnStation->setObjectName(QStringLiteral("btnStation"));
    FBtnStation->setGeometry(221, 120, 77, 23);
    FStationPanel = new TStationPanel(
        this, [this](std::size_t board) { FStation->GoClicked(board); },
        [this] { FStation->StopClicked(); });
    FStationPanel->hide();
    FTitle = windowTitle();
    setFixedSize(kWidth, kHeight);
    setAcceptDrops(true);
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

    SaveDialog1 = new THexFileDialog(this);
    SaveDialog1->setObjectName(QStringLiteral("SaveDialog1"));
    SaveDialog1->setAcceptMode(QFileDialog::AcceptSave);
    SaveDialog1->setFileMode(QFileDialog::AnyFile);
    SaveDialog1->setOption(QFileDialog::DontConfirmOverwrite, false);
    for (QFileDialog* dialog : {OpenDialog1, SaveDialog1}) {
        // A typed name takes the extension of the type chosen.
        connect(dialog, &QFileDialog::filterSelected, dialog, [dialog](const QString& label) {
            const QVariant suffixes = dialog->property(kSuffixesProperty);
            const int index = dialog->nameFilters().indexOf(label);
            const QStringList list = suffixes.toStringList();
            if (index >= 0 && index < list.size()) dialog->setDefaultSuffix(list[index]);
        });
    }

    connect(FTimer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
    connect(ui->btnSend, &QPushButton::clicked, this, [this] { btnSendClick(); });
    connect(ui->BtnRead, &QPushButton::clicked, this, [this] { BtnReadClick(); });
    connect(FMemSizeItems, &QButtonGroup::idClicked, this, [this](int) { rdoMemSizeClick(); });
    connect(FBtnStation, &QPushButton::clicked, this, [this] { btnStationClick(); });

    FormCreate();
    Offer(*OpenDialog1, FRules->FileDialogs().Request(TFileDialog::Open));
    Offer(*SaveDialog1, FRules->FileDialogs().Request(TFileDialog::Save));
}

TFrmMain::~TFrmMain() {
    FTimer1->stop();
    // A station still running stops; its chips in their write pass finish.
    FStation.reset();
    FormDestroy();
}

void TFrmMain::FormCreate() {
    // The rules start the worker, which owns the link, and Timer1.
    FRules = std::make_unique<TWindowRules>(*this, *this);
    FRules->Start();
    FStation = std::make_unique<TStationRules>(*FRules, *this, PortSettingsFile());
}

void TFrmMain::FormDestroy() {
    FRules->Shutdown();
}

void TFrmMain::SetChipLabel(const std::string& text, TLabelColour colour, int top) {
    SetTextColour(*ui->LblTargetChip, colour == TLabelColour::Alert
                                          ? QColor(Qt::red)
                                          : ui->GroupBox1->palette().color(QPalette::WindowText));
    ui->LblTargetChip->move(ui->LblTargetChip->x(), top);
    ui->LblTargetChip->setText(FromUtf8(text));
}

void TFrmMain::SetSendReadEnabled(bool enabled) {
    ui->BtnRead->setEnabled(enabled);
    ui->btnSend->setEnabled(enabled);
}

bool TFrmMain::SendReadEnabled() const {
    return ui->btnSend->isEnabled();
}

void TFrmMain::SetMemSizeVisible(bool visible) {
    ui->rdoMemSize->setVisible(visible);
}

void TFrmMain::SetFastVerifyEnabled(bool enabled) {
    ui->chkFastVerify->setEnabled(enabled);
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

void TFrmMain::SetStatusText(const std::string& text) {
    ui->pnlVerbose->setText(FromUtf8(text));
}

std::string TFrmMain::StatusText() const {
    return ui->pnlVerbose->text().toStdString();
}

void TFrmMain::SetStatusNotice(const std::string& notice) {
    ui->pnlVerbose->setToolTip(
        QString::fromLocal8Bit(notice.data(), static_cast<qsizetype>(notice.size())));
}

void TFrmMain::SetBarRange(int min, int max) {
    ui->pbLoading->setRange(min, max);
}

void TFrmMain::SetBarPosition(int position) {
    ui->pbLoading->setValue(position);
}

void TFrmMain::SetPollTimerActive(bool active) {
    if (active) {
        FTimer1->start();
    } else {
        FTimer1->stop();
    }
}

bool TFrmMain::PollTimerActive() const {
    return FTimer1->isActive();
}

void TFrmMain::SetWaitCursor(bool shown) {
    if (shown) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
    } else {
        QApplication::restoreOverrideCursor();
    }
}

void TFrmMain::SetFileChooser(TFileChooser chooser) {
    FFileChooser = std::move(chooser);
}

void TFrmMain::SetMessageDisplay(TMessageDisplay display) {
    FMessageDisplay = std::move(display);
}

std::optional<TFileChoice> TFrmMain::ChooseFile(const TFileRequest& request) {
    if (FFileChooser) {
        const std::optional<QString> fileName = FFileChooser(request.Kind);
        if (!fileName) return std::nullopt;
        return TFileChoice{QFile::encodeName(*fileName).toStdString(), request.FilterIndex};
    }
    QFileDialog& dialog = request.Kind == TFileDialog::Open ? *OpenDialog1 : *SaveDialog1;
    Offer(dialog, request);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return TFileChoice{QFile::encodeName(dialog.selectedFiles().constFirst()).toStdString(),
                       static_cast<int>(dialog.nameFilters().indexOf(dialog.selectedNameFilter()))};
}

void TFrmMain::ShowMessageBox(const std::string& text) {
    const QString message = FromUtf8(text);
    if (FMessageDisplay) {
        FMessageDisplay(message);
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, QApplication::applicationName(), message, QMessageBox::Ok,
                    this);
    FMessageBox = &box;
    box.exec();
    FMessageBox = nullptr;
}

void TFrmMain::CloseMessageBox() {
    if (FMessageBox) FMessageBox->done(QMessageBox::Ok);
}

void TFrmMain::ShowError(const std::string& message) {
    TApplication::ShowError(FromUtf8(message));
}

void TFrmMain::CloseWindow() {
    close();
}

bool TFrmMain::EditStationSettings(TStationSettings& settings, const std::string& error) {
    const auto chooseFile = [this](const std::string&) -> std::optional<std::string> {
        const std::optional<TFileChoice> choice = ChooseFile(FStation->FileRequest());
        if (!choice) return std::nullopt;
        FStation->FileChosen(*choice);
        return choice->Name;
    };
    const auto chooseLog = [this](const std::string& current) -> std::optional<std::string> {
        const std::optional<TFileChoice> choice = ChooseFile(LogFileRequest(current));
        if (!choice) return std::nullopt;
        return choice->Name;
    };
    TStationDialog dialog(this, chooseFile, chooseLog);
    dialog.Load(settings, error);
    if (dialog.exec() != QDialog::Accepted) return false;
    dialog.Store(settings);
    return true;
}

void TFrmMain::ShowStationView(bool shown) {
    FChipPage->setVisible(!shown);
    FStationPanel->setVisible(shown);
    FStationFitted = false;
    if (shown) {
        FitStationView();
        FStationPanel->setFocus();
    } else {
        setFixedSize(kWidth, kHeight);
    }
}

void TFrmMain::FitStationView() {
    // It only grows while a station runs: tiles that jump about are hard to read.
    QSize size = FStationPanel->sizeHint().expandedTo(QSize(kStationWidth, kStationHeight));
    if (FStationFitted) size = size.expandedTo(this->size());
    FStationFitted = true;
    if (size == this->size() && FStationPanel->size() == size) return;
    setFixedSize(size);
    FStationPanel->setGeometry(0, 0, size.width(), size.height());
}

void TFrmMain::DrawStation(const TStationPicture& picture) {
    FStationPanel->Draw(picture);
    // The window grows with the tiles and what they say.
    FitStationView();
}

void TFrmMain::SetWindowTitle(const std::string& title) {
    setWindowTitle(title.empty() ? FTitle : FromUtf8(title));
}

void TFrmMain::SoundFailure() {
    QApplication::beep();
}

void TFrmMain::WakeGui() {
    // Any thread. The event carries nothing: what it announces waits in the
    // rules' queue, under that queue's lock.
    QCoreApplication::postEvent(this, new QEvent(kDrainEvent));
}

void TFrmMain::customEvent(QEvent* event) {
    if (event->type() == kDrainEvent) FRules->DrainPosted();
}

void TFrmMain::keyPressEvent(QKeyEvent* event) {
    // A main window: Escape does not close it as it would a dialog; it stops
    // a Send or a Read that is under way.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        FRules->EscapePressed();
        event->accept();
        return;
    }
    // F5: search for the programmer now.
    if (event->key() == Qt::Key_F5 && event->modifiers() == Qt::NoModifier) {
        FRules->SearchNow();
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void TFrmMain::closeEvent(QCloseEvent* event) {
    if (!FRules->CloseAsked()) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
    FRules->WindowGone();
}

namespace {

// The one local file a drag carries, if it carries exactly one.
std::optional<QString> OneLocalFile(const QMimeData* data) {
    if (data == nullptr || !data->hasUrls() || data->urls().size() != 1) return std::nullopt;
    const QUrl& url = data->urls().constFirst();
    if (!url.isLocalFile()) return std::nullopt;
    return url.toLocalFile();
}

}  // namespace

void TFrmMain::dragEnterEvent(QDragEnterEvent* event) {
    if (OneLocalFile(event->mimeData())) event->acceptProposedAction();
}

void TFrmMain::dropEvent(QDropEvent* event) {
    const std::optional<QString> file = OneLocalFile(event->mimeData());
    if (!file) return;
    event->acceptProposedAction();
    FRules->FileDropped(QFile::encodeName(*file).toStdString());
}

}  // namespace corvane
