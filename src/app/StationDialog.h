#pragma once

#include <QDialog>
#include <functional>
#include <optional>
#include <string>

#include "StationSettings.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QSpinBox;

namespace corvane {

// The station's settings: the file, the log, the serial number, the options
// of each chip, the chips to stop after, the sound. A start the station
// refused is shown in it, in red.
class TStationDialog : public QDialog {
public:
    // Asks for a file name with the dialogs' policy; nothing when cancelled.
    using TChooser = std::function<std::optional<std::string>(const std::string& current)>;

    TStationDialog(QWidget* parent, TChooser chooseFile, TChooser chooseLog);

    void Load(const TStationSettings& settings, const std::string& error);
    void Store(TStationSettings& settings) const;

private:
    QLineEdit* FFile;
    QLineEdit* FLog;
    QGroupBox* FSerial;
    QLineEdit* FAddress;
    QLineEdit* FStart;
    QComboBox* FFormat;
    QCheckBox* FOverwrite;
    QCheckBox* FFastVerify;
    QCheckBox* FLock;
    QComboBox* FMemSize;
    QSpinBox* FChips;
    QCheckBox* FSound;
    QLabel* FError;
};

}  // namespace corvane
