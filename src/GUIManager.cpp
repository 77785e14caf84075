#include "GUIManager.h"

#include "Connection.h"
#include "Ethernet.h"
#include "IPv4.h"
#include "Logger.h"
#include "MosquittoLibrary.h"
#include "MqttConnection.h"
#include "SceneGraphBackend.h"
#include "SecretMask.h"
#include "StartupTrace.h"
#include "TaggedLog.h"
#include "Transaction.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QQmlContext>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QThread>
#include <QUrl>
#include <QtQml>

#include <algorithm>
#include <functional>
#include <utility>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

// Values keep their types (integers, booleans, strings): readers convert with
// toInt(), toBool() and toString() because values read back from the file are text.
const QVariantMap GUIManager::Defaults = {
    // Logging
    {QStringLiteral("log/level"), 2},
    {QStringLiteral("log/syslog"), true},
    {QStringLiteral("log/stderr"), true},
    {QStringLiteral("log/color"), false},

    // Broker connection and the interface's own topic base
    {QStringLiteral("mqtt/host"), QStringLiteral("localhost")},
    {QStringLiteral("mqtt/port"), 1883},
    {QStringLiteral("mqtt/username"), QString()},
    {QStringLiteral("mqtt/password"), QString()},
    {QStringLiteral("mqtt/base"), QStringLiteral("ovant/ui")},

    // User interface
    {QStringLiteral("gui/settingsPin"), QStringLiteral("4826")},
    {QStringLiteral("gui/showCursor"), true},
    {QStringLiteral("gui/isEntryGate"), true},
    {QStringLiteral("gui/errorOccured"), false},
    {QStringLiteral("gui/deviceId"), QStringLiteral("/etc/serialnumber")},
    {QStringLiteral("gui/errorMessageScreen"), QString()},
    {QStringLiteral("gui/locale"), QStringLiteral("el_GR")},
    {QStringLiteral("gui/displayOffMin"), 3},
    {QStringLiteral("gui/shutdownDelaySec"), 60},
    {QStringLiteral("gui/showErrorDesc"), false},
    {QStringLiteral("gui/screenSaverBg"), QStringLiteral("black")},
    {QStringLiteral("gui/screenSaverImg"),
     QStringLiteral("qrc:/qml/images/Icons/pelmo-logo-top-gr.svg")},
    {QStringLiteral("gui/animSwitchSec"), 0},
    {QStringLiteral("gui/currentErrorScreen"), 0},

    // Topic bases of the services; each client appends its own sub-topics
    {QStringLiteral("topics/barcode"), QStringLiteral("ovant/barcode")},
    {QStringLiteral("topics/blm"), QStringLiteral("ovant/blm")},
    {QStringLiteral("topics/board"), QStringLiteral("ovant/board")},
    {QStringLiteral("topics/inspector"), QStringLiteral("ovant/inspector")},
    {QStringLiteral("topics/network"), QStringLiteral("ovant/network")},
    {QStringLiteral("topics/device"), QStringLiteral("ovant/device")},
    {QStringLiteral("topics/rfid"), QStringLiteral("ovant/rfid")},
    {QStringLiteral("topics/dispenser"), QStringLiteral("ovant/dispenser")},
};

const QString GUIManager::ValidSound = QStringLiteral("/opt/ovant/kvrtterminalui/Valid.wav");
const QString GUIManager::InvalidSound = QStringLiteral("/opt/ovant/kvrtterminalui/Invalid.wav");

namespace {

const QString Tag_ = QStringLiteral("[GUIManager] ");
// The validator's RFID reader, whose topics the terminal client uses as they stand.
const QString ValidatorReaderBase = QStringLiteral("ovant/rfid");
constexpr int StartScreenMsec = 10000;
// Qt's own wait between a request for a frame and the frame, which gathers later changes.
constexpr int PlatformFrameWaitMsec = 5;
// Should no frame come, what waits for the first one runs anyway after this.
constexpr int FirstFrameFallbackMsec = 500;
// After the window starts making the pages it does not show (or after the first frame, for
// a window that makes them all at start), by when start-up is mostly over (the services'
// first states in, the event log read, the pages made): the memory freed by then is given
// back.
constexpr int StartupSettledMsec = 1000;
// After the first frame, when what start-up can leave for later begins: by then the
// broker's first states are usually in and the first screen of service is up.
constexpr int DeferredStartMsec = 500;
constexpr int InvalidScreenMsec = 3000;
constexpr int LoginScreenMsec = 15000;

QDebug infoLog()
{
    return tagged(qInfo(), Tag_);
}

QDebug warningLog()
{
    return tagged(qWarning(), Tag_);
}

QDebug criticalLog()
{
    return tagged(qCritical(), Tag_);
}

QString key(const char* name)
{
    return QString::fromLatin1(name);
}

// The Quick Controls style and its settings file are read at the first QML
// import (and by QQuickStyle::name()): both must be set before that, once.
QObject* prepareQuickControls()
{
    static bool prepared = false;
    if (!prepared) {
        prepared = true;
        qputenv("QT_QUICK_CONTROLS_CONF", QByteArrayLiteral(":/qml/qtquickcontrols2.conf"));
        QQuickStyle::setStyle(QStringLiteral("Material"));
    }
    return nullptr;
}

void registerQmlTypes()
{
    static bool registered = false;
    if (registered)
        return;
    registered = true;
    qmlRegisterType<Transaction>("com.ovant.ticketing.transaction", 1, 0, "Transaction");
    qmlRegisterType<manager::Connection>("com.ovant.network.connection", 1, 0, "Connection");
    qmlRegisterType<IPv4>("com.ovant.network.ipv4", 1, 0, "IPv4");
    // The network client's Ethernet property is declared with the class forward-declared:
    // QML can read it only once the pointer type is known.
    qRegisterMetaType<manager::Ethernet*>();
    qmlRegisterUncreatableType<GUIManager>("com.ovant.gui.manager", 1, 0, "GUIManager",
                                           QStringLiteral("Available as 'manager' only"));
    GatePassage::registerQmlType();
}

// Start-up frees much of what it allocates (the event log's text, the pages' making) in
// between what stays: glibc keeps such holes in the process unless asked to give them
// back (about 1 MB here).
void returnFreedMemory()
{
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

// Calls work once the window has shown its first frame, or after a while should no frame
// come; work is called once. A renderer on this thread swaps here: the work starts right
// then, ahead of whatever else the loop has queued. A render thread's swap is queued here.
void afterFirstFrame(QQuickWindow* window, QObject* context, const std::function<void()>& work)
{
    auto pending = std::make_shared<std::function<void()>>(work);
    const auto once = [pending] {
        if (const std::function<void()> call = std::exchange(*pending, nullptr))
            call();
    };
    if (window) {
        auto connection = std::make_shared<QMetaObject::Connection>();
        // The connection is only read on this thread: a render thread's swap may come
        // before it is stored.
        const auto done = [once, connection] {
            QObject::disconnect(*connection);
            once();
        };
        *connection = QObject::connect(
            window, &QQuickWindow::frameSwapped, context,
            [done, context] {
                if (QThread::currentThread() == context->thread())
                    done();
                else
                    QMetaObject::invokeMethod(context, done, Qt::QueuedConnection);
            },
            Qt::DirectConnection);
    }
    QTimer::singleShot(FirstFrameFallbackMsec, context, once);
}

} // namespace

GUIManager::GUIManager(Config& config, QObject* parent)
    : GUIManager(config, QCoreApplication::applicationDirPath(), parent)
{ }

GUIManager::GUIManager(Config& config, const QString& eventLogDirectory, QObject* parent)
    : QObject(parent)
    , m_engine(prepareQuickControls())
    , m_config((StartupTrace::mark("QML engine"), &config))
    , m_deviceIdFile(config)
    , m_kvrtTerminal(m_mqtt, config.get(key("topics/blm")).toString())
    , m_board(m_mqtt, config.get(key("topics/board")).toString())
    , m_inspector(m_mqtt, config.get(key("topics/inspector")).toString())
    , m_network(m_mqtt, config.get(key("topics/network")).toString())
    , m_update(m_mqtt, config.get(key("topics/device")).toString())
    , m_clock(m_mqtt, config.get(key("topics/device")).toString(), nullptr,
              QStringLiteral("timedatectl"), manager::Clock::ToolStart::Held)
    , m_rfid(m_mqtt, config.get(key("topics/rfid")).toString())
    , m_dispenser(m_mqtt, config.get(key("topics/dispenser")).toString())
    , m_cardIssuer(m_rfid, m_dispenser)
    , m_session(config)
    , m_eventLog(config, eventLogDirectory, EventManager::Loading::Deferred)
    , m_diagnostics(m_deviceIdFile.id(), m_board, m_network, m_kvrtTerminal)
    , m_issueFlow(m_cardIssuer, m_dispenser)
    , m_boardPower(m_board, config)
    , m_remote(m_mqtt, config, [this] { return maintenanceSessionActive(); })
    , m_maintenanceActions(
          {m_session, m_kvrtTerminal, m_board, m_inspector, m_update, m_diagnostics, m_network})
    , m_maintenance(*this,
                    {m_session, m_eventLog, m_kvrtTerminal, m_board, m_inspector, m_network,
                     m_maintenanceActions})
{
    StartupTrace::mark("clients");
    m_engine.setIncubationController(&m_incubation);
    m_qmlContext = m_engine.rootContext();
    m_screenTimer.setSingleShot(true);
    m_gateResultTimer.setSingleShot(true);
    m_gateResultTimer.setInterval(GateResultMsec);
    connect(&m_gateResultTimer, &QTimer::timeout, this, &GUIManager::returnToPrompt);
    connect(&m_deviceIdFile, &DeviceIdFile::idChanged, this, &GUIManager::deviceIdChanged);
    connect(&m_deviceIdFile, &DeviceIdFile::saveFailed, this,
            qOverload<QString>(&GUIManager::errorOccured));

    m_deviceIdFile.load();
    initLog();
    initConfig();
    StartupTrace::mark("log and configuration");
    // The broker is connected once the first frame is up: its library is loaded meanwhile
    // (whatever it has to say goes to the log as configured).
    MosquittoLibrary::preload();
    initQml();
    StartupTrace::mark("QML set-up");
    // Started from the event loop, unless load() holds it back for the first frame.
    setMessage(QT_TR_NOOP("Connecting"));
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_mqttStart == MqttStart::Pending)
                startMqtt();
        },
        Qt::QueuedConnection);
    initManagers();
    StartupTrace::mark("MQTT set-up");
}

GUIManager::~GUIManager()
{
    // The window belongs to the engine, which deletes it with its children: the
    // manager, owned by whoever created it, must not be among them.
    setParent(nullptr);
    // Nothing that the members emit while they go reaches a half-destroyed manager.
    for (QObject* sender : std::initializer_list<QObject*> {
             m_config, &m_deviceIdFile, &m_mqtt, &m_kvrtTerminal, &m_board, &m_inspector, &m_rfid,
             &m_dispenser, &m_cardIssuer, &m_screenTimer, &m_session, &m_issueFlow, &m_boardPower,
             &m_remote, &m_maintenance, &m_gateResultTimer}) {
        QObject::disconnect(sender, nullptr, this, nullptr);
    }
    // The scene goes first, while everything its bindings read still exists.
    const QList<QObject*> roots = m_engine.rootObjects();
    qDeleteAll(roots);
}

bool GUIManager::waitForWritten(int msecs)
{
    const QDeadlineTimer deadline(msecs < 0 ? QDeadlineTimer::Forever : QDeadlineTimer(msecs));
    const auto left = [&deadline] {
        return deadline.isForever() ? -1 : int(std::max<qint64>(0, deadline.remainingTime()));
    };
    bool done = m_eventLog.waitForWritten(left());
    done = m_deviceIdFile.waitForWritten(left()) && done;
    done = m_diagnostics.waitForWritten(left()) && done;
    return m_config->waitForWritten(left()) && done;
}

void GUIManager::load()
{
    // The broker answers at once and its first traffic (subscriptions, states) would be
    // handled ahead of the first frame: the connection waits for that frame.
    if (m_mqttStart == MqttStart::Pending)
        m_mqttStart = MqttStart::Held;
    m_engine.load(QUrl(QStringLiteral("qrc:/qml/main.qml")));
    StartupTrace::mark("main.qml");
    const QList<QObject*> roots = m_engine.rootObjects();
    if (roots.isEmpty()) {
        criticalLog() << "ERROR: Failed to load the user interface : qrc:/qml/main.qml";
    } else {
        setParent(roots.first());
        m_window = qobject_cast<QQuickWindow*>(roots.first());
        SceneGraphBackend::watch(m_window);
        StartupTrace::followWindow(m_window);
        m_passage.showIn(m_window);
        m_maintenance.watchActivity(roots.first());
        if (m_window)
            connect(m_window, &QQuickWindow::afterAnimating, this, [this] { m_lastFrame.start(); });
    }
    setLanguage(m_config->get(key("gui/locale")).toString());
    StartupTrace::mark("translator");
    // A full log takes tens of milliseconds to read, and the clock's tool is a process to
    // start: both wait a while after the first frame, for the broker's first traffic that
    // comes right after it, and the log is read on its writer's thread. The events logged
    // meanwhile ("Application started" first) wait for it.
    m_maintenance.pushEvent(QStringLiteral("General"), QStringLiteral("Application started"),
                            QString());
    auto* settled = new QTimer(this);
    settled->setSingleShot(true);
    settled->setInterval(StartupSettledMsec);
    connect(settled, &QTimer::timeout, this, returnFreedMemory);
    // The window makes them once it works (or has waited for that a while): the time
    // starts then.
    const QMetaObject* window = roots.isEmpty() ? nullptr : roots.first()->metaObject();
    const int made = window ? window->indexOfSignal("allPagesChanged()") : -1;
    const bool pagesFollow = made >= 0;
    if (pagesFollow) {
        QObject::connect(
            roots.first(), window->method(made), settled,
            settled->metaObject()->method(settled->metaObject()->indexOfMethod("start()")));
    }
    afterFirstFrame(m_window, this, [this, settled, pagesFollow] {
        if (m_mqttStart == MqttStart::Held)
            startMqtt();
        QTimer::singleShot(DeferredStartMsec, this, [this] {
            m_eventLog.readInBackground();
            m_clock.releaseTool();
        });
        if (!pagesFollow)
            settled->start();
    });
}

// ---------------------------------------------------------------------------
// Set-up

void GUIManager::initLog()
{
    manager::Logger* logger = manager::Logger::instance();
    logger->setLevel(m_config->get(key("log/level")).toInt());
    logger->setStderr(m_config->get(key("log/stderr")).toBool());
    logger->setSyslog(m_config->get(key("log/syslog")).toBool());
    logger->setColor(m_config->get(key("log/color")).toBool());
}

void GUIManager::initConfig()
{
    initConfigReactions();
    connect(m_config, &Config::configChanged, this, &GUIManager::onConfigChanged);
    connect(m_config, &Config::configFileChanged, this, &GUIManager::onConfigFileChanged);
    m_config->print();
}

void GUIManager::initQml()
{
    infoLog() << "QtQuick Style name is : " << QQuickStyle::name();
    registerQmlTypes();
    m_qmlContext->setContextProperty(QStringLiteral("manager"), this);
    m_qmlContext->setContextProperty(QStringLiteral("board"), &m_board);
    m_qmlContext->setContextProperty(QStringLiteral("inspector"), &m_inspector);
    m_qmlContext->setContextProperty(QStringLiteral("eventLogManager"), &m_eventLog);
    m_qmlContext->setContextProperty(QStringLiteral("network"), &m_network);
    m_qmlContext->setContextProperty(QStringLiteral("transaction"), Transaction().toMap());
    m_qmlContext->setContextProperty(QStringLiteral("validatorManager"), &m_kvrtTerminal);
    m_qmlContext->setContextProperty(QStringLiteral("maintenance"), &m_maintenanceActions);

    connect(&m_screenTimer, &QTimer::timeout, this, &GUIManager::onScreenTimeout);
    setScreen(QStringLiteral("Busy"), StartScreenMsec);
    setMessage(QT_TR_NOOP("Initializing"));
    setShowCursor(m_config->get(key("gui/showCursor")).toBool());
}

void GUIManager::startMqtt()
{
    m_mqttStart = MqttStart::Started;
    initMqtt();
}

void GUIManager::initMqtt()
{
    m_remote.start();
    setMessage(QT_TR_NOOP("Connecting"));
}

void GUIManager::initManagers()
{
    connect(&m_remote, &UiRemoteInterface::connected, this, [this] {
        setMessage(QT_TR_NOOP("Connected"));
        m_boardPower.onBrokerConnected();
    });
    connect(&m_remote, &UiRemoteInterface::disconnected, this,
            [this] { setOutOfOrderScreen(QString::fromUtf8(QT_TR_NOOP("Disconnected"))); });
    connect(&m_kvrtTerminal, &manager::KVRTTerminal::statusChanged, this,
            &GUIManager::onKVRTTerminalStatusChanged);
    connect(&m_kvrtTerminal, &manager::KVRTTerminal::cardDetected, this,
            [](const QString& uid, const QString& type) {
                warningLog() << QStringLiteral("KVRTTerminal card detected : uid=%1, type=%2")
                                    .arg(uid, type);
            });
    connect(&m_kvrtTerminal, &manager::KVRTTerminal::cardRemoved, this,
            [] { warningLog() << "KVRTTerminal card removed"; });
    connect(&m_kvrtTerminal, &manager::KVRTTerminal::reasonChanged, this,
            &GUIManager::onKVRTTerminalReasonChanged);
    connect(&m_issueFlow, &CardIssueFlow::statusText, this,
            qOverload<const QString&>(&GUIManager::setMessage));
    connect(&m_issueFlow, &CardIssueFlow::started, this, &GUIManager::processStarted);
    connect(&m_issueFlow, &CardIssueFlow::failure, this, &GUIManager::onIssueFailure);
    connect(&m_issueFlow, &CardIssueFlow::failedChanged, this, &GUIManager::onIssueFailedChanged);
    connect(&m_issueFlow, &CardIssueFlow::finished, this, &GUIManager::processFinished);
    connect(&m_issueFlow, &CardIssueFlow::ended, this, &GUIManager::returnToPrompt);
    m_passage.follow(this);
    // The gate page follows the passage in the platform's next frame (see GatePassage).
    connect(&m_passage, &GatePassage::phaseChanged, this, [this] {
        if (m_window)
            m_window->update();
    });
    connect(&m_kvrtTerminal, &manager::KVRTTerminal::ticketValidated, this,
            &GUIManager::onTicketValidated);
    // The maintenance barcode, the ignition and the system's power actions are the
    // maintenance controller's.
    connect(&m_session, &SessionManager::accessGranted, this, &GUIManager::settingsAccessGranted);
    connect(&m_session, &SessionManager::accessDenied, this, &GUIManager::settingsAccessDenied);
    connect(&m_session, &SessionManager::expired, this, &GUIManager::setIdleScreen);
    connect(&m_session, &SessionManager::lockoutChanged, this, &GUIManager::loginLockoutSecChanged);
    connect(&m_maintenance, &MaintenanceController::technicianChanged, &m_remote,
            &UiRemoteInterface::publishStatus);
    connect(&m_maintenance, &MaintenanceController::barcodeConfigurationApplied, this,
            &GUIManager::barcodeConfigurationApplied);
    connect(this, &GUIManager::screenChanged, this,
            [this] { m_boardPower.followScreen(m_screen); });
}

// ---------------------------------------------------------------------------
// Configuration

void GUIManager::onConfigFileChanged()
{
    warningLog() << "WARN: Configuration file changed!";
    m_config->print();
}

void GUIManager::initConfigReactions()
{
    m_configReactions
        .onKey(key("gui/deviceId"),
               [this](const QVariant&) {
                   infoLog() << "Device id changed. Re-loading";
                   m_deviceIdFile.load();
               })
        .onKey(key("gui/showCursor"),
               [this](const QVariant&) {
                   infoLog() << "Cursor changed : " << (showCursor() ? "visible" : "hidden");
                   Q_EMIT showCursorChanged();
               })
        .onKey(key("gui/displayOffMin"),
               [this](const QVariant&) {
                   infoLog() << "Display OFF interval changed : " << displayOffMin() << " min(s)";
                   Q_EMIT displayOffMinChanged();
               })
        .onKey(key("gui/shutdownDelaySec"),
               [this](const QVariant&) {
                   infoLog() << "Shutdown delay changed : " << shutdownDelaySec() << " sec(s)";
                   m_boardPower.updateShutdownDelay();
                   Q_EMIT shutdownDelaySecChanged();
               })
        .onKey(key("gui/locale"), [this](const QVariant& value) { setLanguage(value.toString()); })
        .onKey(key("gui/showErrorDesc"),
               [this](const QVariant&) {
                   infoLog() << "Show Error description changed : "
                             << (showErrorDesc() ? "YES" : "NO");
                   setMessage(kvrtTerminalReason());
                   Q_EMIT showErrorDescChanged();
               })
        .onKey(key("gui/screenSaverBg"),
               [this](const QVariant&) {
                   infoLog() << "Screen-saver background changed : "
                             << setting("gui/screenSaverBg").toString();
                   Q_EMIT screenSaverBgChanged();
               })
        .onKey(key("gui/screenSaverImg"),
               [this](const QVariant&) {
                   infoLog() << "Screen-saver image changed : " << screenSaverImg();
                   Q_EMIT screenSaverImgChanged();
               })
        .onKey(key("gui/animSwitchSec"),
               [this](const QVariant&) {
                   infoLog() << "GIFs animation changed : " << animSwitchSec() << " msec(s)";
                   Q_EMIT animSwitchSecChanged();
               })
        .onPattern(QStringLiteral("log\\/.+"),
                   [this](const QVariant&) {
                       infoLog() << "Log configuration changed. Applying.";
                       initLog();
                   })
        .onPattern(QStringLiteral("mqtt\\/.+"), [this](const QVariant&) {
            infoLog() << "MQTT configuration changed. Applying.";
            // A connection not started yet reads the settings when it starts.
            if (m_mqttStart == MqttStart::Started)
                initMqtt();
        });
}

void GUIManager::onConfigChanged(const QVariantMap& changes)
{
    tagged(qDebug(), Tag_) << "Config changed : "
                           << QJsonDocument(SecretMask::json(QJsonObject::fromVariantMap(changes)))
                                  .toJson(QJsonDocument::Compact);
    // One reaction per change set: the first row that matches.
    m_configReactions.react(changes);
    // The gate page follows the kind of gate live, and its error page the flag.
    if (changes.contains(key("gui/isEntryGate")))
        Q_EMIT isEntryGateChanged();
    if (changes.contains(key("gui/errorOccured")) && !m_issueFlow.failed())
        Q_EMIT errorOccuredChanged();
    m_remote.publishConfig();
}

// ---------------------------------------------------------------------------
// Screens

void GUIManager::setScreen(const QString& value)
{
    // While the shell shows the gate page, the stored name is not what is on
    // screen: the same name is then a change all the same.
    if (value == m_screen && !m_gatePageShown)
        return;
    infoLog() << "Setting screen : " << value;
    m_screen = value;
    m_gatePageShown = false;
    m_screenTimer.stop();
    Q_EMIT screenChanged();
}

void GUIManager::setScreen(const QString& value, int timeout)
{
    infoLog() << "Setting screen : " << value << " (timeout=" << timeout << " msec)";
    m_screenTimer.start(timeout);
    m_screen = value;
    m_gatePageShown = false;
    Q_EMIT screenChanged();
}

void GUIManager::onScreenTimeout()
{
    infoLog() << "Screen timeout : " << m_screen;
    if (!applyDeferredDecision())
        setIdleScreen();
    // The login page's time is up, also where the decision would keep it.
    replaceMaintenanceScreens();
}

void GUIManager::setIdleScreen()
{
    // The login page keeps its time while the decision leaves it on screen.
    if (!loginShown())
        m_screenTimer.stop();
    if (ignitionOff() && !maintenanceSessionActive()) {
        // Shutting down: nobody is served or registers, whatever the service reports.
        setScreen(QStringLiteral("ScreenSaver"));
        switchReaders(false);
        return;
    }
    if (deviceId().isEmpty()) {
        setScreen(QStringLiteral("InitPage"));
        return;
    }
    if (maintenanceSessionActive())
        return;

    const QString status = m_kvrtTerminal.status();
    if (status == QLatin1String("init")) {
        setScreen(QStringLiteral("Busy"));
        setMessage(QT_TR_NOOP("Please Wait"));
    } else if (status == QLatin1String("out-of-service")) {
        setScreen(QStringLiteral("OutOfService"));
        switchReaders(false);
    } else if (status == QLatin1String("online")) {
        switchReaders(true);
        // The stored screen name may still be an out-of-order one: a working gate
        // must not go dark for it.
        m_boardPower.keepDisplayOn();
        showGatePage();
    } else {
        setOutOfOrderScreen(kvrtTerminalReason());
        switchReaders(false);
    }
}

void GUIManager::leaveMaintenance()
{
    setIdleScreen();
    replaceMaintenanceScreens();
}

void GUIManager::replaceMaintenanceScreens()
{
    if (maintenanceSessionActive() || !maintenanceShown())
        return;
    // The idle decision keeps the screen while the ignition reads off without a board report
    // or the login page is up: the maintenance screens must not stay for anyone passing by.
    // A terminal service still starting has had its busy page shown by the decision.
    setScreen(QStringLiteral("OutOfOrder"));
    setMessage(kvrtTerminalReason());
}

bool GUIManager::maintenanceShown() const
{
    return !m_gatePageShown
        && (m_screen == QLatin1String("Settings") || m_screen == QLatin1String("Login"));
}

void GUIManager::switchReaders(bool on)
{
    if (!issuerSharesReader()) {
        if (on)
            m_kvrtTerminal.enableRfid();
        else
            m_kvrtTerminal.disableRfid();
    }
    if (on)
        m_kvrtTerminal.enableBarcode();
    else
        m_kvrtTerminal.disableBarcode();
}

bool GUIManager::issuerSharesReader() const
{
    // Switching it would turn on autoread under the issuer, or off in mid-write.
    return isEntryGate() && m_rfid.baseTopic() == ValidatorReaderBase;
}

void GUIManager::setOutOfOrderScreen(const QString& message)
{
    if (loginShown() || !m_board.ignition() || maintenanceSessionActive())
        return;
    setScreen(QStringLiteral("OutOfOrder"));
    setMessage(message);
}

void GUIManager::showGatePage()
{
    m_screenTimer.stop(); // also the login page's, which the gate page replaces
    m_gatePageShown = true;
    Q_EMIT resetInitialScreen();
}

void GUIManager::returnToPrompt()
{
    if (!applyDeferredDecision() && m_gatePageShown)
        Q_EMIT resetInitialScreen();
}

// The platform would draw a frame a few milliseconds after the first request for one, to
// gather more changes: news a passenger waits for is drawn as soon as the turn that brought
// it is over, with all its handler changed. The platform's request made meanwhile by the
// changes still comes a few milliseconds later (a frame with little or nothing to draw).
// Within that wait of any frame, news is drawn at the platform's pace, so that a flood of
// it is too.
void GUIManager::requestFrame()
{
    if (!m_window || m_framePosted)
        return;
    if (m_lastFrame.isValid() && m_lastFrame.elapsed() < PlatformFrameWaitMsec) {
        m_window->update();
        return;
    }
    m_framePosted = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_framePosted = false;
            if (!m_window)
                return;
            QEvent request(QEvent::UpdateRequest);
            QCoreApplication::sendEvent(m_window, &request);
        },
        Qt::QueuedConnection);
}

bool GUIManager::passageRunning() const
{
    const bool refusalShown = m_screen == QLatin1String("Invalid") && m_screenTimer.isActive();
    return m_issueFlow.running() || m_gateResultTimer.isActive() || refusalShown;
}

bool GUIManager::applyDeferredDecision()
{
    if (!m_decisionDeferred)
        return false;
    m_decisionDeferred = false;
    infoLog() << "Passage ended : applying the terminal's status";
    setMessage(kvrtTerminalReason());
    setIdleScreen();
    return true;
}

QString GUIManager::message() const
{
    // Stored as the source text, so that it follows the language; texts without a
    // translation (reason codes) show as they stand.
    return QCoreApplication::translate("GUIManager", m_message.toUtf8().constData());
}

void GUIManager::setMessage(const QString& value)
{
    if (value == m_message)
        return;
    m_message = value;
    Q_EMIT messageChanged();
}

void GUIManager::setErrorMessageScreen(const QString& value)
{
    if (value == m_errorMessageScreen)
        return;
    warningLog() << "Error message changed : " << value;
    m_errorMessageScreen = value;
    Q_EMIT errorMessageScreenChanged();
}

void GUIManager::errorMessage(int code)
{
    // Shown as they stand; the source texts are also the keys of their translations.
    static const char* const texts[] = {
        QT_TR_NOOP("Please scan your documents \n Unable to issue a card due to an error in the "
                   "previous step"),
        QT_TR_NOOP("There are no cards available \n Please wait for assistance"),
        QT_TR_NOOP("Please try again"),
        QT_TR_NOOP("The device is currently Out Of Service \n Please wait for assistance"),
        QT_TR_NOOP("Invalid Card \n Please insert the correct card"),
        QT_TR_NOOP("Barrier Error \n Please wait for assistance"),
        QT_TR_NOOP("Camera Error \n Please wait for assistance"),
        QT_TR_NOOP("The device is Out Of Order"),
        QT_TR_NOOP("Unregistered device"),
    };
    warningLog() << "Error : " << code;
    const bool known = code >= 0 && code < int(sizeof(texts) / sizeof(texts[0]));
    setErrorMessageScreen(known ? QString::fromUtf8(texts[code]) : QString());
}

// ---------------------------------------------------------------------------
// Power

void GUIManager::shutdownRequest()
{
    m_maintenance.shutdown();
}

void GUIManager::rebootRequest()
{
    m_maintenance.reboot();
}

void GUIManager::exitRequest()
{
    m_maintenance.exit();
}

// ---------------------------------------------------------------------------
// Terminal service

void GUIManager::onKVRTTerminalStatusChanged()
{
    infoLog() << "KVRTTerminal status changed : " << m_kvrtTerminal.status();
    // A passage on screen runs to its end; the decision follows it.
    if (passageRunning()) {
        m_decisionDeferred = true;
        return;
    }
    if (!maintenanceSessionActive())
        requestFrame();
    setIdleScreen();
}

void GUIManager::onKVRTTerminalReasonChanged()
{
    warningLog() << "KVRTTerminal reason changed : " << m_kvrtTerminal.reasonCode() << " "
                 << m_kvrtTerminal.reason();
    if (passageRunning())
        m_decisionDeferred = true;
    else
        setMessage(kvrtTerminalReason());
}

QString GUIManager::kvrtTerminalReason() const
{
    const QString code = m_kvrtTerminal.reasonCode();
    if (code.isEmpty() || !showErrorDesc())
        return code;
    return code + QLatin1Char('\n') + m_kvrtTerminal.reason();
}

void GUIManager::onTicketValidated(const Transaction& transaction)
{
    // The lines of this turn wait for its end: the sound request leaves before them.
    const manager::Logger::Hold hold;
    // An entry gate's passage is the issue of a card; the validator's results (of a
    // card being written on its reader, too) must not interrupt it or pose as its end.
    const bool passage = !maintenanceSessionActive() && !isEntryGate();
    if (passage)
        requestFrame();
    const bool valid = transaction.valid();
    // The passenger hears and sees the result first; what else there is to do follows in
    // the same turn of the event loop, before the frame that shows it. The refusal's page
    // shows the transaction: it is set before that page.
    if (passage && valid) {
        playPassageSound(ValidSound);
        // The gate page shows the outcome of a passage that started: both ends of
        // it are reported, and the page returns to its prompt a little later.
        Q_EMIT processStarted();
        Q_EMIT processFinished();
        m_gateResultTimer.start();
    }
    const QVariantMap summary = transaction.toMap();
    m_qmlContext->setContextProperty(QStringLiteral("transaction"), summary);
    if (passage && !valid) {
        playPassageSound(InvalidSound);
        setScreen(QStringLiteral("Invalid"), InvalidScreenMsec);
    }
    warningLog() << "KVRTTerminal ticket validated : " << int(transaction.type());
    warningLog() << "ExitGate : " << boolText(valid);
    warningLog() << "Contents : " << summary;
    if (!maintenanceSessionActive() && isEntryGate())
        infoLog() << "Ticket result at an entry gate : logged only";
}

// The broker that carries the request gets the processor before the screen's work for the
// same ticket.
void GUIManager::playPassageSound(const QString& file)
{
    m_inspector.audioPlay(file);
    MqttConnection::yieldToBroker();
}

// ---------------------------------------------------------------------------
// Entry gate

void GUIManager::issueCard()
{
    const QString refusal = issueRefusal();
    if (!refusal.isEmpty()) {
        infoLog() << "Card not issued : " << refusal;
        return;
    }
    m_gateResultTimer.stop();
    m_issueFlow.issue(deviceId());
}

QString GUIManager::issueRefusal() const
{
    if (!isEntryGate())
        return QStringLiteral("not an entry gate");
    if (m_issueFlow.running())
        return QStringLiteral("an issue is running");
    // The end of one that failed at once is on screen (a tap during the page's lag).
    if (m_passage.phase() != GatePassage::Initial)
        return QStringLiteral("a passage is on screen");
    if (m_kvrtTerminal.status() != QLatin1String("online"))
        return QStringLiteral("terminal not online (") + m_kvrtTerminal.status() + QLatin1Char(')');
    // Start-up, a power request or any other screen over the gate page.
    if (!m_gatePageShown)
        return QStringLiteral("gate page not shown (") + m_screen + QLatin1Char(')');
    // Until both devices have reported, or while the reader updates its firmware.
    if (m_cardIssuer.state() == manager::CardIssuer::Init)
        return QStringLiteral("card issuer not ready (")
            + manager::CardIssuer::stateToStr(m_cardIssuer.state()) + QLatin1Char(')');
    return QString();
}

void GUIManager::onIssueFailure(bool needsAssistance)
{
    errorMessage(needsAssistance ? ErrorAvailableCards : ErrorRepeatAction);
    m_gateResultTimer.start();
}

void GUIManager::onIssueFailedChanged()
{
    // A stored flag shows the error page whatever the last issue did.
    if (!setting("gui/errorOccured").toBool())
        Q_EMIT errorOccuredChanged();
}

// ---------------------------------------------------------------------------
// Language

void GUIManager::setLanguage(const QString& value)
{
    if (value == m_language)
        return;
    infoLog() << "Language changed : " << value;
    if (!m_translation.apply(value))
        return;
    m_language = value;
    setSetting("gui/locale", value);
    Q_EMIT languageChanged();
}

// ---------------------------------------------------------------------------
// Device id and maintenance side

void GUIManager::saveDeviceIdRequest(const QString& deviceId)
{
    infoLog() << "Save Device Id request : " << deviceId;
    setDeviceId(deviceId);
    setIdleScreen();
}

void GUIManager::settingsLoginRequest(const QString& pin)
{
    m_session.loginRequest(pin);
}

void GUIManager::settingsLogoutRequest()
{
    m_session.logoutRequest();
}

void GUIManager::setMaintenanceScreen()
{
    if (maintenanceSessionActive())
        setScreen(QStringLiteral("Settings"));
    else if (loginShown())
        leaveMaintenance();
    else
        setScreen(QStringLiteral("Login"), LoginScreenMsec);
}

QColor GUIManager::screenSaverBg() const
{
    const QColor color(setting("gui/screenSaverBg").toString());
    return color.isValid() ? color : QColor(Qt::black);
}
