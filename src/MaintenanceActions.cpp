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

using Parts = MaintenanceActions::Parts;

// A test by name: what starts it, and what ends it (none for a one-shot test).
struct Test
{
    const char* name;
    void (*start)(const Parts&);
    void (*stop)(const Parts&);
};

const Test Tests[] = {
    {"buzzer", [](const Parts& p) { p.board.playBuzzer(100, 200, 3); }, nullptr},
    {"speaker", [](const Parts& p) { p.inspector.audioPlay(GUIManager::ValidSound); }, nullptr},
    {"diagnostics", [](const Parts& p) { p.diagnostics.start(); },
     [](const Parts& p) { p.diagnostics.stop(); }},
    {"configScan", [](const Parts& p) { p.terminal.enableBarcode(); },
     [](const Parts& p) { p.terminal.disableBarcode(); }},
    {"barcode", [](const Parts& p) { p.terminal.enableBarcode(); },
     [](const Parts& p) { p.terminal.disableBarcode(); }},
    {"rfid", [](const Parts& p) { p.terminal.enableRfid(); },
     [](const Parts& p) { p.terminal.disableRfid(); }},
    {"leds", [](const Parts& p) { p.diagnostics.startLedTest(); },
     [](const Parts& p) { p.diagnostics.endBoardTest(); }},
    {"sensor", [](const Parts& p) { p.diagnostics.startSensorTest(); },
     [](const Parts& p) { p.diagnostics.endBoardTest(); }},
};

const Test* find(const QString& name)
{
    for (const Test& test : Tests) {
        if (name == QLatin1String(test.name))
            return &test;
    }
    return nullptr;
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

bool MaintenanceActions::begin(const QString& name)
{
    if (!allowed(qPrintable(QStringLiteral("test ") + name.left(64))))
        return false;
    const Test* test = find(name);
    if (!test) {
        tagged(qWarning(), Tag_) << "WARN: Unknown maintenance test : " << name.left(64);
        return false;
    }
    test->start(m_parts);
    if (test->stop)
        m_running.insert(name);
    return true;
}

void MaintenanceActions::end(const QString& name)
{
    if (m_running.remove(name))
        find(name)->stop(m_parts);
}

void MaintenanceActions::endAll()
{
    for (const QString& name : std::exchange(m_running, {}))
        find(name)->stop(m_parts);
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
