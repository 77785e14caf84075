#include "GUIManager.h"

#include "Config.h"
#include "KVRTv1Card.h"
#include "Logger.h"
#include "Transaction.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QPointer>
#include <QQmlContext>
#include <QQuickStyle>
#include <QRegularExpression>
#include <QSaveFile>
#include <QUrl>
#include <QtQml>

#include <algorithm>
#include <limits>

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
const QString TranslationFile = QStringLiteral(":/qml/translations/KVRTTerminalUI_el_GR.qm");
const QString DisplayPeripheral = QStringLiteral("display");
// The validator's RFID reader, whose topics the terminal client uses as they stand.
const QString ValidatorReaderBase = QStringLiteral("ovant/rfid");
// Keys naming files the program writes: a remote request must not point them elsewhere.
const QStringList WrittenFileKeys {QStringLiteral("gui/deviceId")};
// What a card issued here says about where it was issued.
const QString IssueLocationId = QStringLiteral("ovant-rnd");
constexpr int CollectTimeoutSec = 60;
constexpr int PowerRequestScreenMsec = 30000;
constexpr int ExitDelayMsec = 2000;
constexpr int StartScreenMsec = 10000;
constexpr int InvalidScreenMsec = 3000;
constexpr int LoginScreenMsec = 15000;
constexpr int ShutdownDelayMarginSec = 60;
// A serial number file is a line of text; anything larger is not one.
constexpr qint64 MaxDeviceIdFileBytes = 64 * 1024;

QDebug infoLog()
{
    return qInfo().noquote().nospace() << Tag_;
}

QDebug warningLog()
{
    return qWarning().noquote().nospace() << Tag_;
}

QDebug criticalLog()
{
    return qCritical().noquote().nospace() << Tag_;
}

QDebug debugLog()
{
    return qDebug().noquote().nospace() << Tag_;
}

QString key(const char* name)
{
    return QString::fromLatin1(name);
}

const char* boolText(bool value)
{
    return value ? "true" : "false";
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
    qmlRegisterUncreatableType<GUIManager>("com.ovant.gui.manager", 1, 0, "GUIManager",
                                           QStringLiteral("Available as 'manager' only"));
}

// A remote configuration value must have the type of the key's default: a text
// where a number belongs would otherwise be stored and read back as 0.
bool fitsDefault(const QVariant& defaultValue, const QJsonValue& value)
{
    switch (defaultValue.userType()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
        return value.isDouble();
    case QMetaType::Bool:
        return value.isBool();
    case QMetaType::QString:
        return value.isString();
    default:
        return true;
    }
}

} // namespace

GUIManager::GUIManager(Config& config, QObject* parent)
    : QObject(parent)
    , m_engine(prepareQuickControls())
    , m_config(&config)
    , m_kvrtTerminal(m_mqtt, config.get(key("topics/blm")).toString())
    , m_board(m_mqtt, config.get(key("topics/board")).toString())
    , m_inspector(m_mqtt, config.get(key("topics/inspector")).toString())
    , m_rfid(m_mqtt, config.get(key("topics/rfid")).toString())
    , m_dispenser(m_mqtt, config.get(key("topics/dispenser")).toString())
    , m_cardIssuer(m_rfid, m_dispenser)
{
    m_qmlContext = m_engine.rootContext();
    m_screenTimer.setSingleShot(true);
    m_displayOffTimer.setSingleShot(true);
    m_gateResultTimer.setSingleShot(true);
    m_gateResultTimer.setInterval(GateResultMsec);
    connect(&m_gateResultTimer, &QTimer::timeout, this, &GUIManager::onGateResultTimeout);

    loadDeviceId();
    initLog();
    initConfig();
    initQml();
    initMqtt();
    initManagers();
}

GUIManager::~GUIManager()
{
    m_destroying = true;
    // The window belongs to the engine, which deletes it with its children: the
    // manager, owned by whoever created it, must not be among them.
    setParent(nullptr);
    // Nothing that the members emit while they go reaches a half-destroyed manager.
    for (QObject* sender : std::initializer_list<QObject*> {
             m_config, &m_mqtt, &m_kvrtTerminal, &m_board, &m_inspector, &m_rfid, &m_dispenser,
             &m_cardIssuer, &m_screenTimer, &m_displayOffTimer, &m_gateResultTimer}) {
        QObject::disconnect(sender, nullptr, this, nullptr);
    }
    // The scene goes first, while everything its bindings read still exists.
    const QList<QObject*> roots = m_engine.rootObjects();
    qDeleteAll(roots);
}

void GUIManager::load()
{
    m_engine.load(QUrl(QStringLiteral("qrc:/qml/main.qml")));
    const QList<QObject*> roots = m_engine.rootObjects();
    if (roots.isEmpty())
        criticalLog() << "ERROR: Failed to load the user interface : qrc:/qml/main.qml";
    else
        setParent(roots.first());
    setLanguage(m_config->get(key("gui/locale")).toString());
    pushEvent(QStringLiteral("General"), QStringLiteral("Application started"), QString());
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
    connect(m_config, &Config::configChanged, this, &GUIManager::onConfigChanged);
    connect(m_config, &Config::configFileChanged, this, &GUIManager::onConfigFileChanged);
    m_config->print();
}

void GUIManager::initQml()
{
    infoLog() << "QtQuick Style name is : " << QQuickStyle::name();
    registerQmlTypes();
    // The Connection and IPv4 types of the network settings are registered with
    // the maintenance side.
    m_qmlContext->setContextProperty(QStringLiteral("manager"), this);
    m_qmlContext->setContextProperty(QStringLiteral("board"), &m_board);
    m_qmlContext->setContextProperty(QStringLiteral("inspector"), &m_inspector);
    m_qmlContext->setContextProperty(QStringLiteral("transaction"), Transaction().toMap());
    m_qmlContext->setContextProperty(QStringLiteral("validatorManager"), &m_kvrtTerminal);

    connect(&m_screenTimer, &QTimer::timeout, this, &GUIManager::onScreenTimeout);
    setScreen(QStringLiteral("Busy"), StartScreenMsec);
    setMessage(QT_TR_NOOP("Initializing"));
    setShowCursor(m_config->get(key("gui/showCursor")).toBool());
}

void GUIManager::initMqtt()
{
    // A re-run replaces what the previous one connected: each signal is handled once.
    for (const QMetaObject::Connection& connection : qAsConst(m_mqttConnections))
        QObject::disconnect(connection);
    m_mqttConnections.clear();
    m_mqttConnections
        << connect(&m_mqtt, &manager::MqttClient::connected, this, &GUIManager::onMqttConnected)
        << connect(&m_mqtt, &manager::MqttClient::disconnected, this,
                   &GUIManager::onMqttDisconnected)
        << connect(&m_mqtt, &manager::MqttClient::error, this, &GUIManager::onMqttError)
        << connect(&m_mqtt, &manager::MqttClient::received, this, &GUIManager::processMqttMessage);

    const QString base = m_config->get(key("mqtt/base")).toString();
    m_mqtt.setClientId(QStringLiteral("%1_%2")
                           .arg(QCoreApplication::applicationName())
                           .arg(QCoreApplication::applicationPid()));
    m_mqtt.setWillMessage(QJsonDocument(QJsonObject {{QStringLiteral("service"), false}}).toJson());
    m_mqtt.setWillTopic(base + QStringLiteral("/status"));
    // Not retained: a retained will would keep telling later subscribers that the
    // interface is down after it has come back (its live status is not retained).
    m_mqtt.setWillRetain(false);
    m_mqtt.setHostname(m_config->get(key("mqtt/host")).toString());
    m_mqtt.setPort(quint32(m_config->get(key("mqtt/port")).toInt()));
    m_mqtt.setUsername(m_config->get(key("mqtt/username")).toString());
    m_mqtt.setPassword(m_config->get(key("mqtt/password")).toString());

    // The client remembers its subscriptions and makes them again on every
    // connection; a topic is handed to it once.
    for (const char* suffix : {"/info/get", "/status/get", "/config/get", "/config/set"}) {
        const QString topic = base + QLatin1String(suffix);
        if (!m_uiTopics.contains(topic)) {
            m_uiTopics.insert(topic);
            m_mqtt.subscribe(topic, 0);
        }
    }

    // New parameters apply to a new connection: an existing one is closed first,
    // and the client connects again by itself once it has gone.
    if (m_mqttStarted)
        m_mqtt.disconnect();
    m_mqttStarted = true;
    m_mqtt.connect();
    setMessage(QT_TR_NOOP("Connecting"));
}

void GUIManager::initManagers()
{
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
    // The passenger is asked to take the card as soon as it is in the mouth, not
    // once it has been taken.
    connect(&m_dispenser, &manager::Dispenser::cardInMouthChanged, this, [this] {
        if (m_issuing && !m_cardPresented && m_dispenser.cardInMouth()) {
            m_cardPresented = true;
            Q_EMIT processFinished();
        }
    });
    connect(&m_kvrtTerminal, &manager::KVRTTerminal::ticketValidated, this,
            &GUIManager::onTicketValidated);
    connect(&m_kvrtTerminal, &manager::KVRTTerminal::maintenanceBarcodeScanned, this,
            [this](const QJsonObject&) {
                infoLog() << "Maintenance Barcode scanned";
                if (!maintenanceSessionActive()) {
                    warningLog() << "WARN: Maintenance session is not active. Ignoring.";
                    return;
                }
            });
    connect(&m_board, &manager::Board::ignitionChanged, this, &GUIManager::onIgnitionChanged);
    connect(&m_board, &manager::Board::delayShutdownForChanged, this,
            &GUIManager::updateBoardShutdownDelay);
    connect(&m_board, &manager::Board::statusChanged, this, &GUIManager::onBoardStatusChanged);
    connect(&m_inspector, &manager::Inspector::systemRebootStarted, this, [this] {
        setScreen(QStringLiteral("Busy"), PowerRequestScreenMsec);
        setMessage(QT_TR_NOOP("Rebooting"));
    });
    connect(&m_inspector, &manager::Inspector::systemShutdownStarted, this, [this] {
        setScreen(QStringLiteral("Busy"), PowerRequestScreenMsec);
        setMessage(QT_TR_NOOP("Shutting down"));
    });
    connect(&m_displayOffTimer, &QTimer::timeout, this, &GUIManager::onDisplayOffTimeout);
    connect(this, &GUIManager::screenChanged, this, &GUIManager::onScreenChanged);
}

// ---------------------------------------------------------------------------
// Configuration

void GUIManager::onConfigFileChanged()
{
    warningLog() << "WARN: Configuration file changed!";
    m_config->print();
}

void GUIManager::onConfigChanged(const QVariantMap& changes)
{
    debugLog()
        << "Config changed : "
        << QJsonDocument(QJsonObject::fromVariantMap(changes)).toJson(QJsonDocument::Compact);

    static const QRegularExpression logKey(QStringLiteral("log\\/.+"));
    static const QRegularExpression mqttKey(QStringLiteral("mqtt\\/.+"));
    const auto anyKeyMatches = [&changes](const QRegularExpression& pattern) {
        for (auto it = changes.cbegin(); it != changes.cend(); ++it) {
            if (pattern.match(it.key()).hasMatch())
                return true;
        }
        return false;
    };

    // One reaction per change set: the first row that matches.
    if (changes.contains(key("gui/deviceId"))) {
        infoLog() << "Device id changed. Re-loading";
        loadDeviceId();
    } else if (changes.contains(key("gui/showCursor"))) {
        infoLog() << "Cursor changed : " << (showCursor() ? "visible" : "hidden");
        Q_EMIT showCursorChanged();
    } else if (changes.contains(key("gui/displayOffMin"))) {
        infoLog() << "Display OFF interval changed : " << displayOffMin() << " min(s)";
        Q_EMIT displayOffMinChanged();
    } else if (changes.contains(key("gui/shutdownDelaySec"))) {
        infoLog() << "Shutdown delay changed : " << shutdownDelaySec() << " sec(s)";
        updateBoardShutdownDelay();
        Q_EMIT shutdownDelaySecChanged();
    } else if (changes.contains(key("gui/locale"))) {
        setLanguage(changes.value(key("gui/locale")).toString());
    } else if (changes.contains(key("gui/showErrorDesc"))) {
        infoLog() << "Show Error description changed : " << (showErrorDesc() ? "YES" : "NO");
        setMessage(kvrtTerminalReason());
        Q_EMIT showErrorDescChanged();
    } else if (changes.contains(key("gui/screenSaverBg"))) {
        infoLog() << "Screen-saver background changed : "
                  << m_config->get(key("gui/screenSaverBg")).toString();
        Q_EMIT screenSaverBgChanged();
    } else if (changes.contains(key("gui/screenSaverImg"))) {
        infoLog() << "Screen-saver image changed : " << screenSaverImg();
        Q_EMIT screenSaverImgChanged();
    } else if (changes.contains(key("gui/animSwitchSec"))) {
        infoLog() << "GIFs animation changed : " << animSwitchSec() << " msec(s)";
        Q_EMIT animSwitchSecChanged();
    } else if (anyKeyMatches(logKey)) {
        infoLog() << "Log configuration changed. Applying.";
        initLog();
    } else if (anyKeyMatches(mqttKey)) {
        infoLog() << "MQTT configuration changed. Applying.";
        initMqtt();
    }

    // The gate page follows the kind of gate live, and its error page the flag.
    if (changes.contains(key("gui/isEntryGate")))
        Q_EMIT isEntryGateChanged();
    if (changes.contains(key("gui/errorOccured")) && !m_issueFailed)
        Q_EMIT errorOccuredChanged();

    publishConfig();
}

// ---------------------------------------------------------------------------
// MQTT

void GUIManager::onMqttConnected()
{
    infoLog() << "Connected to MQTT broker";
    setMessage(QT_TR_NOOP("Connected"));
    // A board that keeps its configuration to itself is asked for it.
    if (!m_board.configReported())
        m_board.requestConfig();
    publishInfo();
    publishStatus();
    publishConfig();
}

void GUIManager::onMqttDisconnected()
{
    warningLog() << "WARN: Disconnected from MQTT broker";
    setOutOfOrderScreen(QString::fromUtf8(QT_TR_NOOP("Disconnected")));
}

void GUIManager::onMqttError(const QString& error)
{
    criticalLog() << "ERROR: " << error;
}

void GUIManager::processMqttMessage(const QByteArray& payload, const QByteArray& topicName)
{
    const QString topic = QString::fromUtf8(topicName);
    if (!topic.contains(m_config->get(key("mqtt/base")).toString()))
        return;
    infoLog() << "Message received : " << topic;
    debugLog() << "Data : " << payload;

    if (topic.contains(QLatin1String("/info/get"))) {
        publishInfo();
    } else if (topic.contains(QLatin1String("/status/get"))) {
        publishStatus();
    } else if (topic.contains(QLatin1String("/config/get"))) {
        publishConfig();
    } else if (topic.contains(QLatin1String("/config/set"))) {
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(payload, &error);
        if (error.error != QJsonParseError::NoError) {
            warningLog() << "WARN: Ignoring configuration request that is not JSON : "
                         << error.errorString();
            return;
        }
        if (!document.isObject()) {
            warningLog() << "WARN: Ignoring configuration request that is not a JSON object";
            return;
        }
        applyRemoteConfig(document.object());
    }
}

void GUIManager::applyRemoteConfig(const QJsonObject& object)
{
    const QVariantMap defaults = m_config->defaults();
    QJsonObject accepted;
    for (auto group = object.constBegin(); group != object.constEnd(); ++group) {
        if (!group.value().isObject()) {
            warningLog() << "WARN: Ignoring configuration group that is not an object : "
                         << group.key();
            continue;
        }
        const QJsonObject members = group.value().toObject();
        QJsonObject acceptedMembers;
        for (auto member = members.constBegin(); member != members.constEnd(); ++member) {
            const QString name = group.key() + QLatin1Char('/') + member.key();
            if (WrittenFileKeys.contains(name)) {
                warningLog() << "WARN: Ignoring remote change of a file the program writes : "
                             << name;
                continue;
            }
            const QVariant defaultValue = defaults.value(name);
            if (defaultValue.isValid() && !fitsDefault(defaultValue, member.value())) {
                warningLog() << "WARN: Ignoring configuration value of the wrong type : " << name
                             << " = "
                             << QJsonDocument(QJsonObject {{member.key(), member.value()}})
                                    .toJson(QJsonDocument::Compact);
                continue;
            }
            acceptedMembers.insert(member.key(), member.value());
        }
        accepted.insert(group.key(), acceptedMembers);
    }
    m_config->fromJson(accepted);
}

void GUIManager::publish(const QString& suffix, const QJsonObject& payload)
{
    m_mqtt.publish(QJsonDocument(payload).toJson(),
                   m_config->get(key("mqtt/base")).toString() + suffix, 0, false);
}

void GUIManager::publishInfo()
{
    publish(QStringLiteral("/info"),
            {{QStringLiteral("version"), QCoreApplication::applicationVersion()}});
}

void GUIManager::publishStatus()
{
    publish(QStringLiteral("/status"),
            {{QStringLiteral("technician"), maintenanceSessionActive()},
             {QStringLiteral("service"), true}});
}

void GUIManager::publishConfig()
{
    publish(QStringLiteral("/config"), m_config->toJson());
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
}

void GUIManager::setIdleScreen()
{
    m_screenTimer.stop();
    if (m_deviceId.isEmpty()) {
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
        if (!issuerSharesReader())
            m_kvrtTerminal.disableRfid();
        m_kvrtTerminal.disableBarcode();
    } else if (status == QLatin1String("online")) {
        if (!issuerSharesReader())
            m_kvrtTerminal.enableRfid();
        m_kvrtTerminal.enableBarcode();
        // The stored screen name may still be an out-of-order one: a working gate
        // must not go dark for it.
        keepDisplayOn();
        showGatePage();
    } else {
        setOutOfOrderScreen(kvrtTerminalReason());
        if (!issuerSharesReader())
            m_kvrtTerminal.disableRfid();
        m_kvrtTerminal.disableBarcode();
    }
}

bool GUIManager::issuerSharesReader() const
{
    // Switching it would turn on autoread under the issuer, or off in mid-write.
    return isEntryGate() && m_rfid.baseTopic() == ValidatorReaderBase;
}

void GUIManager::setOutOfOrderScreen(const QString& message)
{
    if (m_screen == QLatin1String("Login") || !m_board.ignition() || maintenanceSessionActive())
        return;
    setScreen(QStringLiteral("OutOfOrder"));
    setMessage(message);
}

void GUIManager::showGatePage()
{
    m_gatePageShown = true;
    Q_EMIT resetInitialScreen();
}

void GUIManager::onGateResultTimeout()
{
    if (!applyDeferredDecision() && m_gatePageShown)
        Q_EMIT resetInitialScreen();
}

bool GUIManager::passageRunning() const
{
    const bool refusalShown = m_screen == QLatin1String("Invalid") && m_screenTimer.isActive();
    return m_issuing || m_gateResultTimer.isActive() || refusalShown;
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
// Display and power

void GUIManager::onScreenChanged()
{
    if (m_screen == QLatin1String("OutOfOrder") || m_screen == QLatin1String("OutOfService")) {
        const int minutes = displayOffMin();
        infoLog() << "Staring Display OFF timer : " << minutes << " min(s)";
        const qint64 msec
            = qBound<qint64>(0, qint64(minutes) * 60000, std::numeric_limits<int>::max());
        m_displayOffTimer.start(int(msec));
    } else {
        keepDisplayOn();
    }
}

void GUIManager::keepDisplayOn()
{
    if (m_displayOffTimer.isActive()) {
        infoLog() << "Stopping Display OFF timer.";
        m_displayOffTimer.stop();
    }
    // Only a display that the board reported unpowered is switched on.
    const QList<QVariantMap> peripherals = m_board.peripherals();
    for (const QVariantMap& peripheral : peripherals) {
        if (peripheral.value(QStringLiteral("item")).toString() == DisplayPeripheral
            && !peripheral.value(QStringLiteral("value")).toBool()) {
            infoLog() << "Turning on Display.";
            m_board.setPeripheralPower(DisplayPeripheral, true);
            break;
        }
    }
}

void GUIManager::onDisplayOffTimeout()
{
    warningLog() << "WARN: Turning off Display due to inactivity.";
    m_board.setPeripheralPower(DisplayPeripheral, false);
}

void GUIManager::updateBoardShutdownDelay()
{
    const int wanted = shutdownDelaySec() + ShutdownDelayMarginSec;
    const int current = m_board.delayShutdownFor();
    if (wanted == current)
        return;
    warningLog() << "WARN: Updating board shutdown delay to : " << wanted
                 << " sec(s) (prev=" << current << ")";
    m_board.setDelayShutdownFor(wanted);
}

void GUIManager::onBoardStatusChanged()
{
    // A board that reports no delay, or 0, would cut the power at ignition off
    // without a graceful shutdown: the delay is set as soon as the board is there.
    if (m_board.status() == QLatin1String("online"))
        updateBoardShutdownDelay();
}

void GUIManager::onIgnitionChanged()
{
    if (m_board.ignition()) {
        pushEvent(QStringLiteral("Board"), QStringLiteral("Ignition on"), QString());
        m_inspector.abortShutdown();
        setIdleScreen();
    } else {
        pushEvent(QStringLiteral("Board"), QStringLiteral("Ignition off"), QString());
        // A technician's session, once there is one, ends here.
        m_inspector.scheduleShutdown(shutdownDelaySec());
        setScreen(QStringLiteral("ScreenSaver"));
    }
}

void GUIManager::shutdownRequest()
{
    setScreen(QStringLiteral("Busy"), PowerRequestScreenMsec);
    setMessage(QT_TR_NOOP("Shutting down"));
    m_inspector.systemShutdown();
}

void GUIManager::rebootRequest()
{
    setScreen(QStringLiteral("Busy"), PowerRequestScreenMsec);
    setMessage(QT_TR_NOOP("Rebooting"));
    m_inspector.systemReboot();
}

void GUIManager::exitRequest()
{
    setScreen(QStringLiteral("Busy"), PowerRequestScreenMsec);
    setMessage(QT_TR_NOOP("Exiting"));
    QTimer::singleShot(ExitDelayMsec, this, [] { QCoreApplication::exit(0); });
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
    const QVariantMap summary = transaction.toMap();
    warningLog() << "KVRTTerminal ticket validated : " << int(transaction.type());
    warningLog() << "ExitGate : " << boolText(transaction.valid());
    warningLog() << "Contents : " << summary;
    m_qmlContext->setContextProperty(QStringLiteral("transaction"), summary);
    if (maintenanceSessionActive())
        return;
    // An entry gate's passage is the issue of a card; the validator's results (of a
    // card being written on its reader, too) must not interrupt it or pose as its end.
    if (isEntryGate()) {
        infoLog() << "Ticket result at an entry gate : logged only";
        return;
    }

    if (transaction.valid()) {
        m_inspector.audioPlay(ValidSound);
        // The gate page shows the outcome of a passage that started: both ends of
        // it are reported, and the page returns to its prompt a little later.
        Q_EMIT processStarted();
        Q_EMIT processFinished();
        m_gateResultTimer.start();
    } else {
        m_inspector.audioPlay(InvalidSound);
        setScreen(QStringLiteral("Invalid"), InvalidScreenMsec);
    }
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
    // An issuer out of order would refuse the card anyway: the passenger is told
    // at once, and no device is asked.
    if (m_cardIssuer.state() == manager::CardIssuer::Error) {
        infoLog() << "Card not issued : card issuer out of order (" << m_cardIssuer.reason() << ")";
        Q_EMIT processStarted();
        reportIssueFailure(m_cardIssuer.reason());
        return;
    }
    m_issuing = true;
    m_gateResultTimer.stop();

    KVRTv1Card::Ptr card(new KVRTv1Card);
    card->setCustomsId(1);
    card->setStatus(QStringLiteral("active"));
    card->incrUsageCounter(1);
    card->addUsageLog(QStringLiteral("entry"), m_deviceId, IssueLocationId);

    setMessage(QT_TR_NOOP("Issuing card"));
    m_cardPresented = false;
    setIssueFailed(false);
    Q_EMIT processStarted();

    QPointer<GUIManager> self(this);
    const auto alive = [self] { return self && !self->m_destroying; };
    m_cardIssuer.issueCard(card, CollectTimeoutSec)
        .done([this, alive](const manager::CardIssuer::Result& result) {
            if (!alive())
                return;
            setMessage(QT_TR_NOOP("Card collected"));
            infoLog() << "Card issued successfully : "
                      << (result.card ? result.card->uid() : QStringLiteral("<null>"));
            if (!m_cardPresented)
                Q_EMIT processFinished();
            QTimer::singleShot(NextCardDelayMsec, this, &GUIManager::prepareNextCard);
        })
        .fail([this, alive](const manager::CardIssuer::Result& result) {
            if (!alive())
                return;
            m_issuing = false;
            reportIssueFailure(result.error);
        });
}

QString GUIManager::issueRefusal() const
{
    if (!isEntryGate())
        return QStringLiteral("not an entry gate");
    if (m_issuing)
        return QStringLiteral("an issue is running");
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

void GUIManager::reportIssueFailure(const QString& error)
{
    // The passenger gets a general text; the detail is for the log.
    setMessage(QT_TR_NOOP("Card could not be issued"));
    criticalLog() << "ERROR: Failed to issue card : " << error;
    // No card could be brought from the cartridge, or the issuer refuses until
    // someone attends to it: the passenger cannot help it by trying.
    const bool needsAssistance = error.startsWith(QLatin1String("Issue failed"))
        || m_cardIssuer.state() == manager::CardIssuer::Error;
    errorMessage(needsAssistance ? ErrorAvailableCards : ErrorRepeatAction);
    setIssueFailed(true);
    Q_EMIT processFinished();
    m_gateResultTimer.start();
}

void GUIManager::prepareNextCard()
{
    infoLog() << "Preparing next card";
    setMessage(QT_TR_NOOP("Preparing next card"));
    QPointer<GUIManager> self(this);
    const auto alive = [self] { return self && !self->m_destroying; };
    m_cardIssuer.prepareCard()
        .done([this, alive](const manager::CardIssuer::Result&) {
            if (!alive())
                return;
            setMessage(QT_TR_NOOP("Ready to issue card"));
            finishIssue();
        })
        .fail([this, alive](const manager::CardIssuer::Result& result) {
            if (!alive())
                return;
            // The next issue prepares its card itself.
            warningLog() << "WARN: Failed to prepare next card : " << result.error;
            finishIssue();
        });
}

void GUIManager::finishIssue()
{
    m_issuing = false;
    if (!applyDeferredDecision() && m_gatePageShown)
        Q_EMIT resetInitialScreen();
}

void GUIManager::setIssueFailed(bool failed)
{
    const bool before = errorOccured();
    m_issueFailed = failed;
    if (errorOccured() != before)
        Q_EMIT errorOccuredChanged();
}

// ---------------------------------------------------------------------------
// Language

void GUIManager::setLanguage(const QString& value)
{
    if (value == m_language)
        return;
    infoLog() << "Language changed : " << value;
    if (m_translator.isEmpty()) {
        infoLog() << "Loading translation file : " << TranslationFile;
        if (!m_translator.load(TranslationFile)) {
            criticalLog() << "ERROR: Failed to load translation file";
            return;
        }
    }
    const QLocale locale(value);
    if (locale.language() == QLocale::English) {
        QCoreApplication::removeTranslator(&m_translator);
    } else if (!QCoreApplication::installTranslator(&m_translator)) {
        criticalLog() << "ERROR: Failed to install translator";
        return;
    }
    QLocale::setDefault(locale);
    m_language = value;
    m_config->set(key("gui/locale"), value);
    Q_EMIT languageChanged();
}

// ---------------------------------------------------------------------------
// Device id

void GUIManager::loadDeviceId()
{
    const QString fileName = m_config->get(key("gui/deviceId")).toString();
    infoLog() << "Loading device id from : " << fileName;
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        criticalLog() << "ERROR: Could not load device S/N from file : " << fileName << " ("
                      << file.errorString() << ")";
        return;
    }
    const QByteArray content = file.read(MaxDeviceIdFileBytes);
    if (file.error() != QFileDevice::NoError) {
        criticalLog() << "ERROR: Could not load device S/N from file : " << fileName << " ("
                      << file.errorString() << ")";
        return;
    }
    const QList<QByteArray> lines = content.split('\n');
    for (const QByteArray& line : lines) {
        const QString id = QString::fromUtf8(line).trimmed();
        if (id.isEmpty())
            continue;
        m_deviceId = id;
        Q_EMIT deviceIdChanged();
        return;
    }
}

void GUIManager::setDeviceId(const QString& value)
{
    const QString id = value.trimmed();
    // The file holds the id as its first line: an empty id or one that spans
    // lines could not be read back.
    const bool wellFormed = !id.isEmpty() && std::none_of(id.cbegin(), id.cend(), [](QChar c) {
        return c.category() == QChar::Other_Control;
    });
    if (!wellFormed) {
        warningLog() << "WARN: Ignoring invalid device id : '" << value << "'";
        return;
    }
    if (id == m_deviceId)
        return;
    warningLog() << "Device ID changed : " << id;
    m_deviceId = id;
    saveDeviceId();
    Q_EMIT deviceIdChanged();
}

void GUIManager::saveDeviceId()
{
    const QString fileName = m_config->get(key("gui/deviceId")).toString();
    infoLog() << "Saving device id to : " << fileName;
    // Written aside and renamed into place, so that a failed write leaves the
    // previous id readable; a file in a directory that allows no new files is
    // written in place.
    QSaveFile file(fileName);
    file.setDirectWriteFallback(true);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(m_deviceId.toUtf8()) >= 0 && file.commit()) {
        return;
    }
    const QString error = file.errorString();
    file.cancelWriting();
    criticalLog() << "ERROR: Could not save device S/N to file : " << fileName << " (" << error
                  << ")";
    Q_EMIT errorOccured(error);
}

void GUIManager::saveDeviceIdRequest(const QString& deviceId)
{
    infoLog() << "Save Device Id request : " << deviceId;
    setDeviceId(deviceId);
    setIdleScreen();
}

// ---------------------------------------------------------------------------
// Maintenance side

void GUIManager::settingsLoginRequest(const QString& pin)
{
    Q_UNUSED(pin)
    warningLog() << "WARN: Maintenance area not available. Login request ignored.";
}

void GUIManager::settingsLogoutRequest()
{
    warningLog() << "WARN: Maintenance area not available. Logout request ignored.";
}

void GUIManager::setMaintenanceScreen()
{
    if (maintenanceSessionActive())
        setScreen(QStringLiteral("Settings"));
    else if (m_screen == QLatin1String("Login"))
        setIdleScreen();
    else
        setScreen(QStringLiteral("Login"), LoginScreenMsec);
}

void GUIManager::pushEvent(const QString& category, const QString& name, const QString& description)
{
    infoLog() << "Event : " << category << " / " << name
              << (description.isEmpty() ? QString() : QStringLiteral(" / ") + description);
}

// ---------------------------------------------------------------------------
// Configuration-backed properties

bool GUIManager::showCursor() const
{
    return m_config->get(key("gui/showCursor")).toBool();
}

void GUIManager::setShowCursor(bool value)
{
    m_config->set(key("gui/showCursor"), value);
}

bool GUIManager::showErrorDesc() const
{
    return m_config->get(key("gui/showErrorDesc")).toBool();
}

void GUIManager::setShowErrorDesc(bool value)
{
    m_config->set(key("gui/showErrorDesc"), value);
}

int GUIManager::displayOffMin() const
{
    return m_config->get(key("gui/displayOffMin")).toInt();
}

void GUIManager::setDisplayOffMin(int value)
{
    m_config->set(key("gui/displayOffMin"), value);
}

int GUIManager::shutdownDelaySec() const
{
    return m_config->get(key("gui/shutdownDelaySec")).toInt();
}

void GUIManager::setShutdownDelaySec(int value)
{
    m_config->set(key("gui/shutdownDelaySec"), value);
}

QColor GUIManager::screenSaverBg() const
{
    const QColor color(m_config->get(key("gui/screenSaverBg")).toString());
    return color.isValid() ? color : QColor(Qt::black);
}

QString GUIManager::screenSaverImg() const
{
    return m_config->get(key("gui/screenSaverImg")).toString();
}

int GUIManager::animSwitchSec() const
{
    return m_config->get(key("gui/animSwitchSec")).toInt();
}

void GUIManager::setAnimSwitchSec(int value)
{
    m_config->set(key("gui/animSwitchSec"), value);
}

bool GUIManager::isEntryGate() const
{
    return m_config->get(key("gui/isEntryGate")).toBool();
}

void GUIManager::setIsEntryGate(bool value)
{
    m_config->set(key("gui/isEntryGate"), value);
}

bool GUIManager::errorOccured() const
{
    return m_issueFailed || m_config->get(key("gui/errorOccured")).toBool();
}

void GUIManager::setErrorOccured(bool value)
{
    m_config->set(key("gui/errorOccured"), value);
}

int GUIManager::currentErrorScreen() const
{
    return m_config->get(key("gui/currentErrorScreen")).toInt();
}

void GUIManager::setCurrentErrorScreen(int value)
{
    m_config->set(key("gui/currentErrorScreen"), value);
}
