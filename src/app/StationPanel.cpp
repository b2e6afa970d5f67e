#include "StationPanel.h"

#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace corvane {

namespace {

QString FromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QLabel* NewLabel(QWidget* parent, const char* name, bool wrap = false) {
    auto* label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setWordWrap(wrap);
    return label;
}

void SetColour(QLabel& label, const QColor& colour) {
    QPalette palette = label.palette();
    palette.setColor(QPalette::WindowText, colour);
    label.setPalette(palette);
}

// Sets a label's text and hides it while it has none.
void Show(QLabel& label, const std::string& text) {
    label.setText(FromUtf8(text));
    label.setVisible(!text.empty());
}

}  // namespace

TStationTileWidget::TStationTileWidget(QWidget* parent, std::function<void()> go)
    : QFrame(parent), FGo(std::move(go)) {
    setFrameShape(QFrame::StyledPanel);
    setFocusPolicy(Qt::StrongFocus);
    setMinimumWidth(240);
    auto* layout = new QVBoxLayout(this);
    FName = NewLabel(this, "tileName");
    QFont bold = FName->font();
    bold.setBold(true);
    FName->setFont(bold);
    FWords = NewLabel(this, "tileWords", true);
    FMessage = NewLabel(this, "tileMessage", true);
    FBar = new QProgressBar(this);
    FBar->setObjectName(QStringLiteral("tileBar"));
    FResult = NewLabel(this, "tileResult");
    QFont large = FResult->font();
    large.setPointSize(large.pointSize() * 2 + 4);
    large.setBold(true);
    FResult->setFont(large);
    FResult->setAlignment(Qt::AlignCenter);
    FFailure = NewLabel(this, "tileFailure", true);
    SetColour(*FFailure, Qt::red);
    FSerial = NewLabel(this, "tileSerial");
    FGoButton = new QPushButton(QStringLiteral("Go"), this);
    FGoButton->setObjectName(QStringLiteral("tileGo"));
    FGoButton->setAutoDefault(false);        // Enter is no Go
    FGoButton->setFocusPolicy(Qt::NoFocus);  // the tile keeps the focus, and with it the space bar
    connect(FGoButton, &QPushButton::clicked, this, [this] { FGo(); });
    for (QWidget* widget : std::initializer_list<QWidget*>{FName, FWords, FMessage, FBar, FResult,
                                                           FFailure, FSerial, FGoButton}) {
        layout->addWidget(widget);
    }
    layout->addStretch();
}

void TStationTileWidget::Draw(const TStationTile& tile) {
    FName->setText(FromUtf8(tile.Port + "  " + tile.Chip));
    FWords->setText(FromUtf8(tile.Words));
    Show(*FMessage, tile.Message);
    FBar->setTextVisible(tile.BarShown);
    if (tile.BarShown) {
        FBar->setRange(0, tile.Total);
        FBar->setValue(tile.Done);
    } else {
        FBar->setRange(0, 1);
        FBar->setValue(0);
    }
    Show(*FResult, tile.ResultText);
    SetColour(*FResult, tile.Result == TTileResult::Pass   ? QColor(0, 140, 0)
                        : tile.Result == TTileResult::Fail ? QColor(Qt::red)
                                                           : palette().color(QPalette::WindowText));
    Show(*FFailure, tile.Failure);
    Show(*FSerial, tile.Serial);
    FGoButton->setVisible(tile.GoShown);
    FGoButton->setEnabled(tile.GoEnabled);
}

void TStationTileWidget::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Space && event->modifiers() == Qt::NoModifier) {
        if (!FGoButton->isHidden() && FGoButton->isEnabled()) FGo();
        event->accept();
        return;
    }
    QFrame::keyPressEvent(event);
}

TStationPanel::TStationPanel(QWidget* parent, std::function<void(std::size_t)> go,
                             std::function<void()> stop)
    : QWidget(parent), FGo(std::move(go)) {
    setObjectName(QStringLiteral("stationView"));
    auto* layout = new QVBoxLayout(this);
    FCounts = NewLabel(this, "stationCounts");
    QFont bold = FCounts->font();
    bold.setBold(true);
    FCounts->setFont(bold);
    FDetails = NewLabel(this, "stationDetails", true);
    FDetails->setTextInteractionFlags(Qt::TextSelectableByMouse);
    FNotice = NewLabel(this, "stationNotice", true);
    layout->addWidget(FCounts);
    layout->addWidget(FDetails);
    layout->addWidget(FNotice);
    FTiles = new QGridLayout;
    layout->addLayout(FTiles);
    layout->addStretch();
    FStop = new QPushButton(QStringLiteral("&Stop"), this);
    FStop->setObjectName(QStringLiteral("btnStationStop"));
    FStop->setAutoDefault(false);  // Enter stops nothing
    connect(FStop, &QPushButton::clicked, this, [stop = std::move(stop)] { stop(); });
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(FStop);
    layout->addLayout(buttons);
}

void TStationPanel::Draw(const TStationPicture& picture) {
    FCounts->setText(FromUtf8(picture.Counts));
    FDetails->setText(FromUtf8(picture.Details));
    FNotice->setText(FromUtf8(picture.Notice));
    SetColour(*FNotice,
              picture.NoticeIsError ? QColor(Qt::red) : palette().color(QPalette::WindowText));
    while (FTileWidgets.size() < picture.Tiles.size()) {
        const std::size_t board = FTileWidgets.size();
        auto* tile = new TStationTileWidget(this, [this, board] { FGo(board); });
        tile->setObjectName(QStringLiteral("stationTile%1").arg(board));
        FTiles->addWidget(tile, static_cast<int>(board / 2), static_cast<int>(board % 2));
        FTileWidgets.push_back(tile);
    }
    for (std::size_t i = 0; i < FTileWidgets.size(); ++i) {
        FTileWidgets[i]->setVisible(i < picture.Tiles.size());
        if (i < picture.Tiles.size()) FTileWidgets[i]->Draw(picture.Tiles[i]);
    }
    // "Stop", "Stopping...", "Back", each with its mnemonic.
    const QString text = FromUtf8(picture.StopText);
    FStop->setText(text == QLatin1String("Back")   ? QStringLiteral("&Back")
                   : text == QLatin1String("Stop") ? QStringLiteral("&Stop")
                                                   : text);
    FStop->setEnabled(picture.StopEnabled);
}

}  // namespace corvane
