#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>

class EventManager;
class GUIManager;
class MaintenanceActions;
class SessionManager;
namespace manager {
class Board;
class Inspector;
class KVRTTerminal;
class Network;
} // namespace manager

// What the GUI manager does for the technician and for the terminal's power: the
// event log entries, the start and end of a maintenance session, configuration by
// maintenance barcode, the power requests and the vehicle's ignition. Screens are
// chosen through the manager.
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
        MaintenanceActions& actions;
    };

    MaintenanceController(GUIManager& gui, const Parts& parts, QObject* parent = nullptr);

    void pushEvent(const QString& category, const QString& name, const QString& description);

    // Input on the window keeps a session alive: it ends ten minutes after the last one.
    void watchActivity(QObject* window);

    // Each refused, with a warning, without a session.
    void shutdown();
    void reboot();
    // Leaves the event loop with code 0, a moment after the busy screen is up.
    void exit();

Q_SIGNALS:
    // The technician's presence changed: the UI's status is to be published again.
    void technicianChanged();
    void barcodeConfigurationApplied(const QStringList& configList);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void onSessionActiveChanged();
    void onMaintenanceBarcodeScanned(const QJsonObject& data);
    void applyValidator(const QJsonObject& data, QStringList& configList);
    void applyEthernet(const QJsonObject& data, QStringList& configList);
    void onIgnitionChanged();
    void showPowerRequest(const char* message);

    GUIManager& m_gui;
    Parts m_parts;
};
