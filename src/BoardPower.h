#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

class Config;
namespace manager {
class Board;
}

// What the board keeps powered while the interface runs. The display goes dark
// "gui/displayOffMin" minutes after the screen tells that the gate is out of use, and
// lights up again with any other screen; after ignition off the board keeps its power
// 60 s longer than the interface's own shutdown delay ("gui/shutdownDelaySec").
class BoardPower : public QObject
{
    Q_OBJECT

public:
    BoardPower(manager::Board& board, Config& config, QObject* parent = nullptr);

    // The screen with this name is shown now.
    void followScreen(const QString& screen);
    // Stops the display-off timer and powers the display if the board reports it off.
    void keepDisplayOn();
    // Hands the board the delay it should keep, if it holds another one.
    void updateShutdownDelay();
    // The broker connection is (back) up.
    void onBrokerConnected();

private:
    void onDisplayOffTimeout();
    void onBoardStatusChanged();

    manager::Board* m_board;
    Config* m_config;
    QTimer m_displayOffTimer;
};
