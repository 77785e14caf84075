#pragma once

#include <QObject>
#include <QSet>
#include <QString>

class Diagnostics;
class SessionManager;
namespace manager {
class Board;
class Inspector;
class KVRTTerminal;
class Network;
class Update;
} // namespace manager

// What the settings area does to the terminal, as "maintenance" in QML. Every action
// refuses without an active session, with a warning: a page left on screen by mistake
// can do nothing. Tests last while their page or dialog is open, and end with the
// session whatever the page does (endAll()).
class MaintenanceActions : public QObject
{
    Q_OBJECT

public:
    // The parts it acts on, all owned by the GUI manager.
    struct Parts
    {
        SessionManager& session;
        manager::KVRTTerminal& terminal;
        manager::Board& board;
        manager::Inspector& inspector;
        manager::Update& update;
        Diagnostics& diagnostics;
        manager::Network& network;
    };

    explicit MaintenanceActions(const Parts& parts, QObject* parent = nullptr);

    // Whether a technician may act now; logs the refusal of action otherwise.
    bool allowed(const char* action) const;

    // "diagnostics" (the periodic self-test), "configScan" (the barcode scanner, for a
    // configuration barcode), "rfid", "barcode", "leds", "sensor" (the board polled for its
    // light sensor), and the one-shot "buzzer" and "speaker". Unknown names are refused.
    Q_INVOKABLE bool begin(const QString& name);
    // A test already ended (with the session) is not ended again: the readers belong to
    // the idle decision by then.
    Q_INVOKABLE void end(const QString& name);
    Q_INVOKABLE bool saveReport();
    Q_INVOKABLE bool installUpdate();
    // True once sent to the service; the page stays open otherwise.
    Q_INVOKABLE bool saveEthernet();
    Q_INVOKABLE bool saveValidatorConfig(const QString& obuText, const QString& obuPassword,
                                         int passbackSecs, bool passbackQrEnabled);

    // Ends every test still running.
    void endAll();

private:
    Parts m_parts;
    // The tests begun and not ended yet.
    QSet<QString> m_running;
};
