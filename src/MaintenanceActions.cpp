#include "MaintenanceActions.h"

#include "Board.h"
#include "Diagnostics.h"
#include "Ethernet.h"
#include "GUIManager.h"
#include "Inspector.h"
#include "KVRTTerminal.h"
#include "Network.h"
#include "SessionManager.h"
#include "TaggedLog.h"
#include "Update.h"

#include <utility>

namespace {

// Part of the GUI manager: its log lines carry the manager's tag.
const QString Tag_ = QStringLiteral("[GUIManager] ");

bool is(const QString& test, const char* name)
{
    return test == QLatin1String(name);
}

} // namespace

MaintenanceActions::MaintenanceActions(const Parts& parts, QObject* parent)
    : QObject(parent)
    , m_parts(parts)
{ }

bool MaintenanceActions::allowed(const char* action) const
{
    if (m_parts.session.sessionActive())
        return true;
    tagged(qWarning(), Tag_) << "WARN: Maintenance action refused, no active session : " << action;
    return false;
}

bool MaintenanceActions::begin(const QString& test)
{
    if (!allowed(qPrintable(QStringLiteral("test ") + test.left(64))))
        return false;
    if (is(test, "buzzer")) {
        m_parts.board.playBuzzer(100, 200, 3);
        return true;
    }
    if (is(test, "speaker")) {
        m_parts.inspector.audioPlay(GUIManager::ValidSound);
        return true;
    }
    if (is(test, "diagnostics"))
        m_parts.diagnostics.start();
    else if (is(test, "configScan") || is(test, "barcode"))
        m_parts.terminal.enableBarcode();
    else if (is(test, "rfid"))
        m_parts.terminal.enableRfid();
    else if (is(test, "leds"))
        m_parts.diagnostics.startLedTest();
    else if (is(test, "sensor"))
        m_parts.diagnostics.startSensorTest();
    else {
        tagged(qWarning(), Tag_) << "WARN: Unknown maintenance test : " << test.left(64);
        return false;
    }
    m_running.insert(test);
    return true;
}

void MaintenanceActions::end(const QString& test)
{
    if (m_running.remove(test))
        stop(test);
}

void MaintenanceActions::endAll()
{
    for (const QString& test : std::exchange(m_running, {}))
        stop(test);
}

void MaintenanceActions::stop(const QString& test)
{
    if (is(test, "diagnostics"))
        m_parts.diagnostics.stop();
    else if (is(test, "configScan") || is(test, "barcode"))
        m_parts.terminal.disableBarcode();
    else if (is(test, "rfid"))
        m_parts.terminal.disableRfid();
    else if (is(test, "leds") || is(test, "sensor"))
        m_parts.diagnostics.endBoardTest();
}

bool MaintenanceActions::saveReport()
{
    if (!allowed("test report"))
        return false;
    m_parts.diagnostics.saveReport();
    return true;
}

bool MaintenanceActions::installUpdate()
{
    if (!allowed("update install"))
        return false;
    m_parts.update.install();
    return true;
}

bool MaintenanceActions::saveEthernet()
{
    return allowed("network save") && m_parts.network.ethernet()->save();
}

bool MaintenanceActions::saveValidatorConfig(const QString& obuText, const QString& obuPassword,
                                             int passbackSecs, bool passbackQrEnabled)
{
    return allowed("validator save")
        && m_parts.terminal.saveConfigFrom(obuText, obuPassword, passbackSecs, passbackQrEnabled);
}
