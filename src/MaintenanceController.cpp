#include "MaintenanceController.h"

#include "Board.h"
#include "Ethernet.h"
#include "Event.h"
#include "EventLogin.h"
#include "EventLogout.h"
#include "EventManager.h"
#include "FileWriter.h"
#include "GUIManager.h"
#include "IPv4.h"
#include "Inspector.h"
#include "JsonField.h"
#include "KVRTTerminal.h"
#include "KVRTTerminalConfig.h"
#include "MaintenanceActions.h"
#include "Network.h"
#include "SecretMask.h"
#include "SessionManager.h"
#include "TaggedLog.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QEvent>
#include <QTimer>
#include <QUrl>

#include <optional>

using manager::JsonField;

namespace {

// Part of the GUI manager: its log lines carry the manager's tag.
const QString Tag_ = QStringLiteral("[GUIManager] ");
constexpr int PowerRequestScreenMsec = 30000;
constexpr int ExitDelayMsec = 2000;
const QString EthernetInterface = QStringLiteral("eth0");

QDebug infoLog()
{
    return tagged(qInfo(), Tag_);
}

QDebug warningLog()
{
    return tagged(qWarning(), Tag_);
}

// The object under key, which is there: no value when it is of another type.
std::optional<QJsonObject> part(const QJsonObject& data, const QString& key)
{
    std::optional<QJsonObject> object = JsonField::object(data, key, Tag_);
    if (!object)
        warningLog() << "WARN: Maintenance barcode part ignored : " << key;
    return object;
}

} // namespace

MaintenanceController::MaintenanceController(GUIManager& gui, const Parts& parts, QObject* parent)
    : QObject(parent)
    , m_gui(gui)
    , m_parts(parts)
{
    connect(&parts.session, &SessionManager::sessionActiveChanged, this,
            &MaintenanceController::onSessionActiveChanged);
    connect(&parts.terminal, &manager::KVRTTerminal::maintenanceBarcodeScanned, this,
            &MaintenanceController::onMaintenanceBarcodeScanned);
    connect(&parts.board, &manager::Board::ignitionChanged, this,
            &MaintenanceController::onIgnitionChanged);
    // The system reports power actions that others asked for, too.
    connect(&parts.inspector, &manager::Inspector::systemRebootStarted, this,
            [this] { showPowerRequest(QT_TRANSLATE_NOOP("GUIManager", "Rebooting")); });
    connect(&parts.inspector, &manager::Inspector::systemShutdownStarted, this,
            [this] { showPowerRequest(QT_TRANSLATE_NOOP("GUIManager", "Shutting down")); });
    // The files reach the disk before the power goes, whatever the system does then. The
    // busy screen is up by then: nothing waits for the screen.
    connect(&parts.inspector, &manager::Inspector::powerRequestDue, this,
            [this] { m_gui.waitForWritten(FileWriter::FinishMsec); });
}

void MaintenanceController::pushEvent(const QString& category, const QString& name,
                                      const QString& description)
{
    m_parts.eventLog.push(
        new Event(category, name, description, QDateTime::currentDateTime(), &m_parts.eventLog));
}

// ---------------------------------------------------------------------------
// Session

void MaintenanceController::watchActivity(QObject* window)
{
    if (window)
        window->installEventFilter(this);
}

bool MaintenanceController::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::TouchBegin:
    case QEvent::KeyPress:
    case QEvent::Wheel:
        // A technician at work is not thrown out in mid-edit.
        if (m_parts.session.sessionActive())
            m_parts.session.resetTimer();
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

void MaintenanceController::onSessionActiveChanged()
{
    if (m_parts.session.sessionActive()) {
        const User user = m_parts.session.user();
        m_parts.eventLog.push(new EventLogin(&user, &m_parts.eventLog));
    } else {
        // What the technician left running ends first: the idle decision then sets the
        // readers as the gate needs them, and the pages closing later send nothing.
        m_parts.actions.endAll();
        m_gui.leaveMaintenance();
        m_parts.eventLog.push(new EventLogout(&m_parts.eventLog));
    }
    Q_EMIT technicianChanged();
}

// ---------------------------------------------------------------------------
// Configuration barcode: {"validator": {"obc": url}, "network": {"eth0": {...}}},
// either part optional.

void MaintenanceController::onMaintenanceBarcodeScanned(const QJsonObject& data)
{
    infoLog() << "Maintenance Barcode scanned";
    if (!m_parts.session.sessionActive()) {
        warningLog() << "WARN: Maintenance session is not active. Ignoring.";
        return;
    }

    QStringList configList;
    applyValidator(data, configList);
    applyEthernet(data, configList);
    if (configList.isEmpty())
        return;
    m_parts.inspector.audioPlay(GUIManager::ValidSound);
    m_parts.board.setLedValid();
    Q_EMIT barcodeConfigurationApplied(configList);
}

void MaintenanceController::applyValidator(const QJsonObject& data, QStringList& configList)
{
    if (!data.contains(QLatin1String("validator")))
        return;
    const std::optional<QJsonObject> validator = part(data, QStringLiteral("validator"));
    const std::optional<QString> obc
        = validator ? JsonField::text(*validator, QStringLiteral("obc"), Tag_) : std::nullopt;
    if (!obc)
        return;
    // Read as on the validator page: without a host the validator would have no OBU to
    // talk to, and another scheme would silently become an MQTT address.
    const QUrl url = KVRTTerminalConfig::obuUrlFromText(*obc);
    if (url.isEmpty()) {
        warningLog() << "WARN: OBC URL is not valid : " << SecretMask::text(*obc);
        return;
    }
    infoLog() << "Applying KVRTTerminal configuration";
    // Listed only once sent: the technician is shown what took effect. The list is shown
    // on the screen: the OBU password is not.
    const KVRTTerminalConfig* config = m_parts.terminal.config();
    if (!m_parts.terminal.saveConfig(url, config->passbackSecs(), config->passbackQrEnabled())) {
        warningLog() << "WARN: KVRTTerminal configuration not sent";
        return;
    }
    configList.append(QStringLiteral("OBC : %1").arg(SecretMask::url(url)));
}

void MaintenanceController::applyEthernet(const QJsonObject& data, QStringList& configList)
{
    if (!data.contains(QLatin1String("network")))
        return;
    const std::optional<QJsonObject> network = part(data, QStringLiteral("network"));
    if (!network || !network->contains(EthernetInterface))
        return;
    const std::optional<QJsonObject> eth0 = part(*network, EthernetInterface);
    if (!eth0)
        return;

    // In the order of the listed lines.
    static const QStringList keys {"method", "address", "netmask", "gateway", "dns0", "dns1"};
    QStringList values;
    for (const QString& key : keys) {
        const std::optional<QString> value = JsonField::text(*eth0, key, Tag_);
        if (!value) {
            warningLog() << "WARN: Maintenance barcode part ignored : " << EthernetInterface;
            return;
        }
        values.append(*value);
    }

    manager::Ethernet* ethernet = m_parts.network.ethernet();
    if (ethernet->interface() != EthernetInterface) {
        warningLog() << "WARN: Active ethernet interface is not 'eth0' : " << ethernet->interface();
        return;
    }
    const bool manual = values[0] == QLatin1String("manual");
    if (manual) {
        // Address and mask are required, the others may be left empty; a wrong
        // address could cut the terminal off its network.
        for (int i = 1; i < keys.size(); ++i) {
            const bool optional = i > 2 && values[i].isEmpty();
            if (!optional && !IPv4::isAddress(values[i])) {
                warningLog() << "WARN: Ethernet configuration refused, " << keys[i]
                             << " is not an IPv4 address : " << values[i].left(64);
                return;
            }
        }
    }

    ethernet->setMethod(manual ? QStringLiteral("manual") : QStringLiteral("auto"));
    IPv4* config = ethernet->config();
    config->setAddress(manual ? values[1] : QString());
    config->setMask(manual ? values[2] : QString());
    config->setGateway(manual ? values[3] : QString());
    config->setDns0(manual ? values[4] : QString());
    config->setDns1(manual ? values[5] : QString());
    infoLog() << "Applying Ethernet configuration to eth0";
    if (!ethernet->save()) {
        warningLog() << "WARN: Ethernet configuration not sent";
        return;
    }
    static const char* const labels[] = {"Method : %1",  "Address : %1", "Netmask : %1",
                                         "Gateway : %1", "DNS #0 : %1",  "DNS #1 : %1"};
    for (int i = 0; i < keys.size(); ++i)
        configList.append(QString::fromLatin1(labels[i]).arg(values[i]));
}

// ---------------------------------------------------------------------------
// Power

void MaintenanceController::onIgnitionChanged()
{
    if (m_parts.board.ignition()) {
        pushEvent(QStringLiteral("Board"), QStringLiteral("Ignition on"), QString());
        m_parts.inspector.abortShutdown();
        m_gui.setIdleScreen();
    } else {
        pushEvent(QStringLiteral("Board"), QStringLiteral("Ignition off"), QString());
        // The vehicle is left: nobody stays logged in, and the readers go off.
        m_parts.session.logoutRequest();
        m_parts.inspector.scheduleShutdown(m_gui.shutdownDelaySec());
        // With the ignition off, the screen saver.
        m_gui.setIdleScreen();
    }
}

void MaintenanceController::showPowerRequest(const char* message)
{
    m_gui.setScreen(QStringLiteral("Busy"), PowerRequestScreenMsec);
    m_gui.setMessage(QString::fromUtf8(message));
}

void MaintenanceController::shutdown()
{
    if (!m_parts.actions.allowed("shutdown"))
        return;
    showPowerRequest(QT_TRANSLATE_NOOP("GUIManager", "Shutting down"));
    m_parts.inspector.systemShutdown();
}

void MaintenanceController::reboot()
{
    if (!m_parts.actions.allowed("reboot"))
        return;
    showPowerRequest(QT_TRANSLATE_NOOP("GUIManager", "Rebooting"));
    m_parts.inspector.systemReboot();
}

void MaintenanceController::exit()
{
    if (!m_parts.actions.allowed("restart"))
        return;
    showPowerRequest(QT_TRANSLATE_NOOP("GUIManager", "Exiting"));
    QTimer::singleShot(ExitDelayMsec, this, [] { QCoreApplication::exit(0); });
}
