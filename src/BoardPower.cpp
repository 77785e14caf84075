#include "BoardPower.h"

#include "Board.h"
#include "Config.h"
#include "TaggedLog.h"

#include <limits>

namespace {
// Part of the GUI manager: its log lines carry the manager's tag.
const QString Tag_ = QStringLiteral("[GUIManager] ");
const QString DisplayPeripheral = QStringLiteral("display");
constexpr int ShutdownDelayMarginSec = 60;
} // namespace

BoardPower::BoardPower(manager::Board& board, Config& config, QObject* parent)
    : QObject(parent)
    , m_board(&board)
    , m_config(&config)
{
    m_displayOffTimer.setSingleShot(true);
    connect(&m_displayOffTimer, &QTimer::timeout, this, &BoardPower::onDisplayOffTimeout);
    connect(m_board, &manager::Board::delayShutdownForChanged, this,
            &BoardPower::updateShutdownDelay);
    connect(m_board, &manager::Board::statusChanged, this, &BoardPower::onBoardStatusChanged);
}

void BoardPower::followScreen(const QString& screen)
{
    if (screen == QLatin1String("OutOfOrder") || screen == QLatin1String("OutOfService")) {
        const int minutes = m_config->get(QStringLiteral("gui/displayOffMin")).toInt();
        tagged(qInfo(), Tag_) << "Staring Display OFF timer : " << minutes << " min(s)";
        const qint64 msec
            = qBound<qint64>(0, qint64(minutes) * 60000, std::numeric_limits<int>::max());
        m_displayOffTimer.start(int(msec));
    } else {
        keepDisplayOn();
    }
}

void BoardPower::keepDisplayOn()
{
    if (m_displayOffTimer.isActive()) {
        tagged(qInfo(), Tag_) << "Stopping Display OFF timer.";
        m_displayOffTimer.stop();
    }
    // Only a display that the board reported unpowered is switched on.
    const QList<QVariantMap> peripherals = m_board->peripherals();
    for (const QVariantMap& peripheral : peripherals) {
        if (peripheral.value(QStringLiteral("item")).toString() == DisplayPeripheral
            && !peripheral.value(QStringLiteral("value")).toBool()) {
            tagged(qInfo(), Tag_) << "Turning on Display.";
            m_board->setPeripheralPower(DisplayPeripheral, true);
            break;
        }
    }
}

void BoardPower::onDisplayOffTimeout()
{
    tagged(qWarning(), Tag_) << "WARN: Turning off Display due to inactivity.";
    m_board->setPeripheralPower(DisplayPeripheral, false);
}

void BoardPower::updateShutdownDelay()
{
    const int wanted
        = m_config->get(QStringLiteral("gui/shutdownDelaySec")).toInt() + ShutdownDelayMarginSec;
    const int current = m_board->delayShutdownFor();
    if (wanted == current)
        return;
    tagged(qWarning(), Tag_) << "WARN: Updating board shutdown delay to : " << wanted
                             << " sec(s) (prev=" << current << ")";
    m_board->setDelayShutdownFor(wanted);
}

void BoardPower::onBoardStatusChanged()
{
    // A board that reports no delay, or 0, would cut the power at ignition off
    // without a graceful shutdown: the delay is set as soon as the board is there.
    if (m_board->status() == QLatin1String("online"))
        updateShutdownDelay();
}

void BoardPower::onBrokerConnected()
{
    // A board that keeps its configuration to itself is asked for it.
    if (!m_board->configReported())
        m_board->requestConfig();
}
