#pragma once

#include <QFrame>
#include <QWidget>
#include <cstddef>
#include <functional>
#include <vector>

#include "StationView.h"

class QGridLayout;
class QLabel;
class QProgressBar;
class QPushButton;

namespace corvane {

// One board's tile: its port and chip, what it does now, its pass, and the
// last chip's end as a large PASS (green) or FAIL (red) with the failure and
// the serial number. A 2051/4051 board's tile has Go, which the space bar
// presses while the tile has the focus.
class TStationTileWidget : public QFrame {
public:
    TStationTileWidget(QWidget* parent, std::function<void()> go);
    void Draw(const TStationTile& tile);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    std::function<void()> FGo;
    QLabel* FName;
    QLabel* FWords;
    QLabel* FMessage;
    QProgressBar* FBar;
    QLabel* FResult;
    QLabel* FFailure;
    QLabel* FSerial;
    QPushButton* FGoButton;
};

// The station view, which takes the main window's place while a station
// runs: the counts and the station's word above, a tile per board, Stop (Back
// once the station has ended) below.
class TStationPanel : public QWidget {
public:
    TStationPanel(QWidget* parent, std::function<void(std::size_t board)> go,
                  std::function<void()> stop);
    void Draw(const TStationPicture& picture);

private:
    std::function<void(std::size_t)> FGo;
    QLabel* FCounts;
    QLabel* FDetails;
    QLabel* FNotice;
    QGridLayout* FTiles;
    QPushButton* FStop;
    std::vector<TStationTileWidget*> FTileWidgets;
};

}  // namespace corvane
