#pragma once

#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

class Diagnostics;
class EventManager;
class GUIManager;
class SessionManager;
namespace manager {
class Board;
class Inspector;
class KVRTTerminal;
class Network;
class Update;
} // namespace manager

// What the GUI manager does for the technician and for the terminal's power: the
// event log entries, the start and end of a maintenance session, configuration by
// maintenance barcode, the power requests and the vehicle's ignition. Screens are
// chosen through the manager.
//
// The settings area reaches the terminal through it (as "maintenance" in QML): every
// action refuses without an active session, so a page left on screen by mistake can do
// nothing. Device tests and the configuration scan last while their dialog is open and
// end with the session, whatever the page does.
class MaintenanceController : public QObject
{
    Q_OBJECT

public:
    // The parts it works with, all owned by the manager.
    struct Parts
    {
        SessionManager& session;
        EventManager& eventLog;
        manager::KVRTTerminal& terminal;
        manager::Board& board;
        manager::Inspector& inspector;
        manager::Network& network;
        manager::Update& update;
        Diagnostics& diagnostics;
    };

    MaintenanceController(GUIManager& gui, const Parts& parts, QObject* parent = nullptr);

    void pushEvent(const QString& category, const QString& name, const QString& description);

    // Input on the window keeps a session alive: it ends ten minutes after the last one.
    void watchActivity(QObject* window);

    // False, with a warning, when refused for want of a session.
    bool shutdown();
    bool reboot();
    // Leaves the event loop with code 0, a moment after the busy screen is up.
    bool exit();

    // A test of the self-test page or the configuration scan, while its page or dialog
    // is open: "diagnostics" (the periodic self-test), "configScan" (the barcode scanner),
    // "rfid", "barcode", "leds", "sensor" (the board polled for its light sensor), and the
    // one-shot "buzzer" and "speaker". Unknown names are refused. A test ended with the
    // session is not ended again: the readers are the idle decision's by then.
    Q_INVOKABLE bool begin(const QString& test);
    Q_INVOKABLE void end(const QString& test);
    Q_INVOKABLE bool saveReport();
    Q_INVOKABLE bool installUpdate();

Q_SIGNALS:
    // The technician's presence changed: the UI's status is to be published again.
    void technicianChanged();
    void barcodeConfigurationApplied(const QStringList& configList);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Whether a technician may act now; logs the refusal of action otherwise.
    bool allowed(const char* action) const;
    void stopTest(const QString& test);
    void onSessionActiveChanged();
    void onMaintenanceBarcodeScanned(const QJsonObject& data);
    void applyValidator(const QJsonObject& data, QStringList& configList);
    void applyEthernet(const QJsonObject& data, QStringList& configList);
    void onIgnitionChanged();
    void showPowerRequest(const char* message);

    GUIManager& m_gui;
    Parts m_parts;
    QSet<QString> m_runningTests;
};
