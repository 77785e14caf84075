#pragma once

#include "Board.h"
#include "CardIssuer.h"
#include "Dispenser.h"
#include "Inspector.h"
#include "KVRTTerminal.h"
#include "MqttClient.h"
#include "RFID.h"

#include <QColor>
#include <QList>
#include <QMetaObject>
#include <QObject>
#include <QQmlApplicationEngine>
#include <QSet>
#include <QString>
#include <QTimer>
#include <QTranslator>
#include <QVariantMap>

class Config;
class QQmlContext;
class Transaction;

// The composition root of the application: it owns the connection to the broker
// and every device-service client, exposes itself and the clients to the QML
// scene, decides which screen the kiosk shows, issues cards at an entry gate,
// shows ticket results at an exit gate, keeps the display and the board's
// power-off delay in line with the terminal's state, switches the language and
// answers the requests addressed to the user interface itself over MQTT.
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
    // Pause between a collected card and the preparation of the next one.
    static constexpr int NextCardDelayMsec = 2000;

    explicit GUIManager(Config& config, QObject* parent = nullptr);
    ~GUIManager() override;

    // Loads the QML scene, sets the configured language and records the start.
    void load();

    QString screen() const { return m_screen; }
    void setScreen(const QString& value);
    QString deviceId() const { return m_deviceId; }
    void setDeviceId(const QString& value);
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
    bool showCursor() const;
    void setShowCursor(bool value);
    bool showErrorDesc() const;
    void setShowErrorDesc(bool value);
    int displayOffMin() const;
    void setDisplayOffMin(int value);
    int shutdownDelaySec() const;
    void setShutdownDelaySec(int value);
    QColor screenSaverBg() const;
    QString screenSaverImg() const;
    int animSwitchSec() const;
    void setAnimSwitchSec(int value);
    bool isEntryGate() const;
    void setIsEntryGate(bool value);
    // The persisted flag, or the failure of the last card issue at this gate.
    bool errorOccured() const;
    void setErrorOccured(bool value);
    int currentErrorScreen() const;
    void setCurrentErrorScreen(int value);

    // Puts the text of an ErrorScreen value into errorMessageScreen (empty for
    // any other value).
    Q_INVOKABLE void errorMessage(int code);

public Q_SLOTS:
    void settingsLoginRequest(const QString& pin);
    void settingsLogoutRequest();
    // The central decision of what to show when nothing temporary is on screen.
    void setIdleScreen();
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

private:
    void loadDeviceId();
    void saveDeviceId();
    void initLog();
    void initConfig();
    void initQml();
    void initMqtt();
    void initManagers();

    void onConfigChanged(const QVariantMap& changes);
    void onConfigFileChanged();
    void onMqttConnected();
    void onMqttDisconnected();
    void onMqttError(const QString& error);
    void processMqttMessage(const QByteArray& payload, const QByteArray& topic);
    void publishInfo();
    void publishStatus();
    void publishConfig();
    void publish(const QString& suffix, const QJsonObject& payload);
    void applyRemoteConfig(const QJsonObject& object);

    void onScreenTimeout();
    void onScreenChanged();
    void onDisplayOffTimeout();
    // Stops the display-off timer and powers the display if the board reports it off.
    void keepDisplayOn();
    void updateBoardShutdownDelay();
    void onBoardStatusChanged();
    void onKVRTTerminalStatusChanged();
    void onKVRTTerminalReasonChanged();
    QString kvrtTerminalReason() const;
    void onTicketValidated(const Transaction& transaction);
    void onIgnitionChanged();

    // Whether the validator's RFID reader is the one the card issuer writes cards with.
    bool issuerSharesReader() const;
    // Shows the gate page at its initial prompt.
    void showGatePage();
    // A passage is on screen: a card issue, or the outcome of one or of a ticket.
    bool passageRunning() const;
    // Runs the idle decision that the terminal's reports asked for during a passage;
    // false when there was none.
    bool applyDeferredDecision();
    // Why a card cannot be issued now; empty when it can.
    QString issueRefusal() const;
    void reportIssueFailure(const QString& error);
    // The gate page leaves the outcome of a passage for its initial prompt, if it
    // is on screen; otherwise the next idle decision brings it back there.
    void onGateResultTimeout();
    void setMessage(const char* source) { setMessage(QString::fromUtf8(source)); }
    void prepareNextCard();
    void finishIssue();
    void setIssueFailed(bool failed);

    // Maintenance side, not built yet: no technician is ever logged in, and the
    // events are only logged.
    bool maintenanceSessionActive() const { return false; }
    void pushEvent(const QString& category, const QString& name, const QString& description);

    QString m_screen;
    QString m_deviceId;
    QString m_errorMessageScreen;
    QString m_language;
    QString m_message;
    QQmlApplicationEngine m_engine;
    QQmlContext* m_qmlContext = nullptr;
    QTranslator m_translator;
    Config* m_config;
    manager::MqttClient m_mqtt;
    manager::KVRTTerminal m_kvrtTerminal;
    manager::Board m_board;
    manager::Inspector m_inspector;
    // Network, update and clock clients go here (maintenance side).
    manager::RFID m_rfid;
    manager::Dispenser m_dispenser;
    manager::CardIssuer m_cardIssuer;
    QTimer m_screenTimer;
    QTimer m_displayOffTimer;
    // Session manager, event log and diagnostics go here (maintenance side).

    // What the MQTT set-up connected, so that a re-run replaces it.
    QList<QMetaObject::Connection> m_mqttConnections;
    // The interface's own request topics handed to the client, which renews them.
    QSet<QString> m_uiTopics;
    bool m_mqttStarted = false;
    // A card issue runs from issueCard() until the next card is prepared.
    bool m_issuing = false;
    // The card of the running issue has reached the mouth: the gate page already asks
    // the passenger to take it.
    bool m_cardPresented = false;
    bool m_issueFailed = false;
    // The shell shows the gate page: the last thing it was told was resetInitialScreen.
    bool m_gatePageShown = false;
    // The terminal reported a status or reason while a passage was on screen.
    bool m_decisionDeferred = false;
    QTimer m_gateResultTimer;
    bool m_destroying = false;
};
