#include "StationDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace corvane {

namespace {

QString FromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string ToUtf8(const QString& text) {
    return text.toUtf8().toStdString();
}

// File names as the link's file calls take them: the file system's bytes.
QString FromName(const std::string& name) {
    return QFile::decodeName(QByteArray::fromStdString(name));
}

std::string ToName(const QString& name) {
    return QFile::encodeName(name).toStdString();
}

template <typename T>
T* Named(T* widget, const char* name) {
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

// A name field with its "Browse..." button.
QWidget* WithBrowse(QWidget* parent, QLineEdit* field, const char* buttonName,
                    const TStationDialog::TChooser& choose) {
    auto* row = new QWidget(parent);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(field);
    auto* browse = Named(new QPushButton(QStringLiteral("Browse..."), row), buttonName);
    layout->addWidget(browse);
    QObject::connect(browse, &QPushButton::clicked, row, [field, choose] {
        if (const auto name = choose(ToName(field->text()))) field->setText(FromName(*name));
    });
    return row;
}

}  // namespace

TStationDialog::TStationDialog(QWidget* parent, TChooser chooseFile, TChooser chooseLog)
    : QDialog(parent) {
    setObjectName(QStringLiteral("StationDialog"));
    setWindowTitle(QStringLiteral("Corvane station"));
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    FFile = Named(new QLineEdit(this), "stationFile");
    FLog = Named(new QLineEdit(this), "stationLog");
    FLog->setPlaceholderText(QStringLiteral("corvane-station.csv beside the file"));
    form->addRow(QStringLiteral("&File:"), WithBrowse(this, FFile, "browseFile", chooseFile));
    form->addRow(QStringLiteral("&Log:"), WithBrowse(this, FLog, "browseLog", chooseLog));
    layout->addLayout(form);

    FSerial = Named(new QGroupBox(QStringLiteral("Se&rial number"), this), "stationSerial");
    FSerial->setCheckable(true);
    auto* serial = new QFormLayout(FSerial);
    FAddress = Named(new QLineEdit(FSerial), "serialAddress");
    FStart = Named(new QLineEdit(FSerial), "serialStart");
    FFormat = Named(new QComboBox(FSerial), "serialFormat");
    FFormat->setEditable(true);  // ascii:N takes any N from 1 to 10
    for (const char* format : kSerialFormats) FFormat->addItem(QString::fromLatin1(format));
    FOverwrite = Named(new QCheckBox(QStringLiteral("O&verwrite the file's bytes"), FSerial),
                       "serialOverwrite");
    serial->addRow(QStringLiteral("&Address (hex):"), FAddress);
    serial->addRow(QStringLiteral("S&tart:"), FStart);
    serial->addRow(QStringLiteral("For&mat:"), FFormat);
    serial->addRow(FOverwrite);
    layout->addWidget(FSerial);

    auto* chip = new QFormLayout;
    FFastVerify = Named(new QCheckBox(QStringLiteral("&Fast Verify"), this), "stationFastVerify");
    FLock = Named(new QCheckBox(QStringLiteral("L&ock"), this), "stationLock");
    FMemSize = Named(new QComboBox(this), "stationMemSize");
    FMemSize->addItems({QStringLiteral("2KB"), QStringLiteral("4KB")});
    FChips = Named(new QSpinBox(this), "stationChips");
    FChips->setRange(0, 1000000);
    FChips->setSpecialValueText(QStringLiteral("none: until stopped"));
    FSound = Named(new QCheckBox(QStringLiteral("So&und when a chip fails"), this), "stationSound");
    chip->addRow(FFastVerify);
    chip->addRow(FLock);
    chip->addRow(QStringLiteral("2051/4051 &Code Memory:"), FMemSize);
    chip->addRow(QStringLiteral("Stop after good c&hips:"), FChips);
    chip->addRow(FSound);
    layout->addLayout(chip);

    FError = Named(new QLabel(this), "stationError");
    FError->setWordWrap(true);
    QPalette palette = FError->palette();
    palette.setColor(QPalette::WindowText, Qt::red);
    FError->setPalette(palette);
    layout->addWidget(FError);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Cancel, this);
    auto* start = Named(buttons->addButton(QStringLiteral("&Start"), QDialogButtonBox::AcceptRole),
                        "stationStart");
    start->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
}

void TStationDialog::Load(const TStationSettings& s, const std::string& error) {
    FFile->setText(FromName(s.File));
    FLog->setText(FromName(s.Log));
    FSerial->setChecked(s.Serial);
    FAddress->setText(FromUtf8(s.SerialAddress));
    FStart->setText(FromUtf8(s.SerialStart));
    FFormat->setCurrentText(FromUtf8(s.SerialFormat));
    FOverwrite->setChecked(s.SerialOverwrite);
    FFastVerify->setChecked(s.FastVerify);
    FLock->setChecked(s.Lock);
    FMemSize->setCurrentIndex(s.MemSizeIndex);
    FChips->setValue(s.Chips);
    FSound->setChecked(s.Sound);
    FError->setText(FromUtf8(error));
    FError->setVisible(!error.empty());
}

void TStationDialog::Store(TStationSettings& s) const {
    s.File = ToName(FFile->text());
    s.Log = ToName(FLog->text());
    s.Serial = FSerial->isChecked();
    s.SerialAddress = ToUtf8(FAddress->text().trimmed());
    s.SerialStart = ToUtf8(FStart->text().trimmed());
    s.SerialFormat = ToUtf8(FFormat->currentText().trimmed());
    s.SerialOverwrite = FOverwrite->isChecked();
    s.FastVerify = FFastVerify->isChecked();
    s.Lock = FLock->isChecked();
    s.MemSizeIndex = FMemSize->currentIndex() == 1 ? 1 : 0;
    s.Chips = FChips->value();
    s.Sound = FSound->isChecked();
}

}  // namespace corvane
