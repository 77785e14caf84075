#pragma once

#include "Board.h"
#include "BoardPower.h"
#include "CardIssueFlow.h"
#include "CardIssuer.h"
#include "Clock.h"
#include "Config.h"
#include "ConfigReactions.h"
#include "DeviceIdFile.h"
#include "Diagnostics.h"
#include "Dispenser.h"
#include "EventManager.h"
#include "GatePassage.h"
#include "IncubationController.h"
#include "Inspector.h"
#include "KVRTTerminal.h"
#include "MaintenanceActions.h"
#include "MaintenanceController.h"
#include "MqttClient.h"
#include "Network.h"
#include "RFID.h"
#include "SessionManager.h"
#include "Translation.h"
#include "UiRemoteInterface.h"
#include "Update.h"

#include <QColor>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QQmlApplicationEngine>
#include <QString>
#include <QTimer>
#include <QVariantMap>

class QQmlContext;
class QQuickWindow;
class Transaction;

// The composition root of the application and the object the QML scene talks to. It
// owns the broker connection, the device-service clients and the parts that do the
// work (the card issue, the board's power, the interface's own MQTT topics, the
// device-id file), and decides which screen the kiosk shows.
class GUIManager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString screen READ screen WRITE setScreen NOTIFY screenChanged)
    Q_PROPERTY(QString deviceId READ deviceId WRITE setDeviceId NOTIFY deviceIdChanged)
    Q_PROPERTY(QString language READ language WRITE setLanguage NOTIFY languageChanged)
    Q_PROPERTY(QString dynTr READ dynTr NOTIFY languageChanged)
    Q_PROPERTY(QString message READ message NOTIFY messageChanged)
    Q_PROPERTY(bool showCursor READ showCursor WRITE setShowCursor NOTIFY showCursorChanged)
    Q_PROPERTY(
        bool showErrorDesc READ showErrorDesc WRITE setShowErrorDesc NOTIFY showErrorDescChanged)
    Q_PROPERTY(
        int displayOffMin READ displayOffMin WRITE setDisplayOffMin NOTIFY displayOffMinChanged)
    Q_PROPERTY(int shutdownDelaySec READ shutdownDelaySec WRITE setShutdownDelaySec NOTIFY
                   shutdownDelaySecChanged)
    Q_PROPERTY(QColor screenSaverBg READ screenSaverBg NOTIFY screenSaverBgChanged)
    Q_PROPERTY(QString screenSaverImg READ screenSaverImg NOTIFY screenSaverImgChanged)
    Q_PROPERTY(
        int animSwitchSec READ animSwitchSec WRITE setAnimSwitchSec NOTIFY animSwitchSecChanged)
    Q_PROPERTY(bool isEntryGate READ isEntryGate WRITE setIsEntryGate NOTIFY isEntryGateChanged)
    Q_PROPERTY(bool errorOccured READ errorOccured WRITE setErrorOccured NOTIFY errorOccuredChanged)
    Q_PROPERTY(int currentErrorScreen READ currentErrorScreen WRITE setCurrentErrorScreen NOTIFY
                   currentErrorScreenChanged)
    Q_PROPERTY(QString errorMessageScreen READ errorMessageScreen WRITE setErrorMessageScreen NOTIFY
                   errorMessageScreenChanged)
    Q_PROPERTY(Diagnostics* diagnostics READ diagnostics NOTIFY diagnosticsChanged)
    Q_PROPERTY(manager::Update* update READ update NOTIFY updateChanged)
    Q_PROPERTY(manager::Clock* clock READ clock NOTIFY clockChanged)
    Q_PROPERTY(int loginLockoutSec READ loginLockoutSec NOTIFY loginLockoutSecChanged)
    // The gate page's place in a passage; it follows processStarted, processFinished and
    // resetInitialScreen.
    Q_PROPERTY(GatePassage* passage READ passage CONSTANT)

public:
    // Messages of the entry gate's error page (errorMessage()).
    enum ErrorScreen {
        ErrorScannedoDcuments = 0,
        ErrorAvailableCards = 1,
        ErrorRepeatAction = 2,
        ErrorOutOfService = 3,
        ErrorInvalidCard = 4,
        ErrorBarrier = 5,
        ErrorCameraData = 6,
        ErrorOutOfOrder = 7,
        ErrorUnregisteredDevice = 8,
    };
    Q_ENUM(ErrorScreen)

    // Default value of every configuration key ("group/name"). Built by static
    // initialisation, so it is complete before main() runs; read-only afterwards.
    static const QVariantMap Defaults;

    // Sound files played through the system inspector for a ticket result.
    static const QString ValidSound;
    static const QString InvalidSound;
    // How long the gate page shows the outcome of a passage (card issue failure,
    // valid ticket) before it returns to its initial prompt.
    static constexpr int GateResultMsec = 5000;

    // The event log is kept in the program's directory.
    explicit GUIManager(Config& config, QObject* parent = nullptr);
    // The event log is kept in eventLogDirectory.
    GUIManager(Config& config, const QString& eventLogDirectory, QObject* parent = nullptr);
    ~GUIManager() override;

    // Loads the QML scene, sets the configured language and records the start.
    void load();
    // Blocks until every file change made so far (configuration, event log, device id,
    // test reports) is on the disk or has failed, at most `msecs` in all (-1: no
    // limit). Whether they all are done.
    bool waitForWritten(int msecs = -1);

    QString screen() const { return m_screen; }
    void setScreen(const QString& value);
    const QString& deviceId() const { return m_deviceIdFile.id(); }
    void setDeviceId(const QString& value) { m_deviceIdFile.setId(value); }
    QString language() const { return m_language; }
    void setLanguage(const QString& value);
    QString dynTr() const { return QString(); }
    // The status line in the current language; set as its English source text.
    QString message() const;
    void setMessage(const QString& value);
    QString errorMessageScreen() const { return m_errorMessageScreen; }
    void setErrorMessageScreen(const QString& value);

    // Backed by the configuration store; the setters write the store only, the
    // notification follows from the store's change report.
    bool showCursor() const { return setting("gui/showCursor").toBool(); }
    void setShowCursor(bool value) { setSetting("gui/showCursor", value); }
    bool showErrorDesc() const { return setting("gui/showErrorDesc").toBool(); }
    void setShowErrorDesc(bool value) { setSetting("gui/showErrorDesc", value); }
    int displayOffMin() const { return setting("gui/displayOffMin").toInt(); }
    void setDisplayOffMin(int value) { setSetting("gui/displayOffMin", value); }
    int shutdownDelaySec() const { return setting("gui/shutdownDelaySec").toInt(); }
    void setShutdownDelaySec(int value) { setSetting("gui/shutdownDelaySec", value); }
    QColor screenSaverBg() const;
    QString screenSaverImg() const { return setting("gui/screenSaverImg").toString(); }
    int animSwitchSec() const { return setting("gui/animSwitchSec").toInt(); }
    void setAnimSwitchSec(int value) { setSetting("gui/animSwitchSec", value); }
    bool isEntryGate() const { return setting("gui/isEntryGate").toBool(); }
    void setIsEntryGate(bool value) { setSetting("gui/isEntryGate", value); }
    // The persisted flag, or the failure of the last card issue while this is an entry gate:
    // once the gate serves the exit, its passengers' tickets are not shown that failure.
    bool errorOccured() const
    {
        return setting("gui/errorOccured").toBool() || (isEntryGate() && m_issueFlow.failed());
    }
    void setErrorOccured(bool value) { setSetting("gui/errorOccured", value); }
    int currentErrorScreen() const { return setting("gui/currentErrorScreen").toInt(); }
    void setCurrentErrorScreen(int value) { setSetting("gui/currentErrorScreen", value); }

    // The maintenance area's parts; they live as long as the manager.
    Diagnostics* diagnostics() { return &m_diagnostics; }
    manager::Update* update() { return &m_update; }
    manager::Clock* clock() { return &m_clock; }
    GatePassage* passage() { return &m_passage; }
    // Seconds until a login is accepted after too many wrong PINs; 0 when it is.
    int loginLockoutSec() const { return m_session.lockoutRemainingSec(); }
    // The technician's session (its length can be shortened, for tests).
    SessionManager& session() { return m_session; }

    // Puts the text of an ErrorScreen value into errorMessageScreen (empty for
    // any other value).
    Q_INVOKABLE void errorMessage(int code);

public Q_SLOTS:
    void settingsLoginRequest(const QString& pin);
    void settingsLogoutRequest();
    // The central decision of what to show when nothing temporary is on screen.
    void setIdleScreen();
    // The idle decision once the login page or the settings area is to go: where it
    // would keep them (no terminal or board report), another screen replaces them.
    void leaveMaintenance();
    void setOutOfOrderScreen(const QString& message);
    // Shows a screen for timeout milliseconds, then the idle decision.
    void setScreen(const QString& value, int timeout);
    void saveDeviceIdRequest(const QString& deviceId);
    void setMaintenanceScreen();
    void shutdownRequest();
    void rebootRequest();
    void exitRequest();
    // Entry gate: issues one card to the passenger, if one can be issued now.
    void issueCard();

Q_SIGNALS:
    void screenChanged();
    void deviceIdChanged();
    void languageChanged();
    void errorMessageScreenChanged();
    void settingsAccessGranted();
    void settingsAccessDenied();
    void messageChanged();
    void showCursorChanged();
    void isEntryGateChanged();
    void errorOccuredChanged();
    void showErrorDescChanged();
    void displayOffMinChanged();
    void shutdownDelaySecChanged();
    void errorOccured(QString error);
    void diagnosticsChanged();
    void updateChanged();
    void clockChanged();
    void barcodeConfigurationApplied(QStringList configList);
    void screenSaverBgChanged();
    void screenSaverImgChanged();
    void animSwitchSecChanged();
    void currentErrorScreenChanged();
    // A passage (card issue, ticket) started and ended: the gate page follows them.
    void processStarted();
    void processFinished();
    // The gate page is to be shown, at its initial prompt.
    void resetInitialScreen();
    void loginLockoutSecChanged();

private:
    QVariant setting(const char* key) const { return m_config->get(QLatin1String(key)); }
    void setSetting(const char* key, const QVariant& value)
    {
        m_config->set(QLatin1String(key), value);
    }

    void initLog();
    void initConfig();
    void initQml();
    void initMqtt();
    void startMqtt();
    void initManagers();
    void initConfigReactions();

    void onConfigChanged(const QVariantMap& changes);
    void onConfigFileChanged();

    void onScreenTimeout();
    void onKVRTTerminalStatusChanged();
    void onKVRTTerminalReasonChanged();
    QString kvrtTerminalReason() const;
    void onTicketValidated(const Transaction& transaction);
    void playPassageSound(const QString& file);
    void onIssueFailure(bool needsAssistance);
    void onIssueFailedChanged();
    // Asks for a frame at the end of this turn of the event loop (at the platform's pace
    // within a few milliseconds of the last frame), for a change the passenger waits to
    // see that the handler in progress is about to make.
    void requestFrame();

    // Whether the validator's RFID reader is the one the card issuer writes cards with.
    bool issuerSharesReader() const;
    // The validator's readers for passengers, on or off; a reader the issuer shares is its own.
    void switchReaders(bool on);
    // Shows the gate page at its initial prompt.
    void showGatePage();
    // The login page is on screen; its name stays stored when the gate page replaces it.
    bool loginShown() const { return m_screen == QLatin1String("Login") && !m_gatePageShown; }
    // A passage is on screen: a card issue, or the outcome of one or of a ticket.
    bool passageRunning() const;
    // Runs the idle decision that the terminal's reports asked for during a passage;
    // false when there was none.
    bool applyDeferredDecision();
    // Why a card cannot be issued now; empty when it can.
    QString issueRefusal() const;
    // The gate page leaves the outcome of a passage for its initial prompt, if it
    // is on screen; otherwise the next idle decision brings it back there.
    void returnToPrompt();
    void setMessage(const char* source) { setMessage(QString::fromUtf8(source)); }

    // A technician is logged in: the settings area stays on screen.
    bool maintenanceSessionActive() const { return m_session.sessionActive(); }
    // The login page or the settings area is on screen.
    bool maintenanceShown() const;
    // Where the idle decision kept them without a session, the out-of-order screen
    // replaces the login page and the settings area.
    void replaceMaintenanceScreens();
    // The ignition was switched off: the terminal is shutting down.
    bool ignitionOff() const { return m_board.ignitionReported() && !m_board.ignition(); }

    QString m_screen;
    QString m_errorMessageScreen;
    QString m_language;
    QString m_message;
    // Outlives the engine, which makes its pages with it.
    IncubationController m_incubation;
    QQmlApplicationEngine m_engine;
    QQmlContext* m_qmlContext = nullptr;
    QPointer<QQuickWindow> m_window;
    bool m_framePosted = false;
    // Since the window's last frame began.
    QElapsedTimer m_lastFrame;
    Translation m_translation;
    Config* m_config;
    DeviceIdFile m_deviceIdFile;
    manager::MqttClient m_mqtt;
    manager::KVRTTerminal m_kvrtTerminal;
    manager::Board m_board;
    manager::Inspector m_inspector;
    manager::Network m_network;
    manager::Update m_update;
    manager::Clock m_clock;
    manager::RFID m_rfid;
    manager::Dispenser m_dispenser;
    manager::CardIssuer m_cardIssuer;
    QTimer m_screenTimer;
    SessionManager m_session;
    EventManager m_eventLog;
    Diagnostics m_diagnostics;

    CardIssueFlow m_issueFlow;
    GatePassage m_passage;
    BoardPower m_boardPower;
    UiRemoteInterface m_remote;
    ConfigReactions m_configReactions;
    MaintenanceActions m_maintenanceActions;
    MaintenanceController m_maintenance;
    // The shell shows the gate page: the last thing it was told was resetInitialScreen.
    bool m_gatePageShown = false;
    // The terminal reported a status or reason while a passage was on screen.
    bool m_decisionDeferred = false;
    // The broker connection starts from the event loop; a window being loaded holds it
    // back until its first frame is up (see load()).
    enum class MqttStart { Pending, Held, Started };
    MqttStart m_mqttStart = MqttStart::Pending;
    QTimer m_gateResultTimer;
};
