#pragma once

#include "DeviceClient.h"
#include "KVRTTerminalConfig.h"
#include "ValidatorBarcode.h"
#include "ValidatorRfid.h"

#include <QJsonObject>
#include <QString>
#include <QUrl>

#include <optional>

class Transaction;

namespace manager {

class MqttClient;

// Client of the terminal's business service, which owns the validator hardware
// and validates tickets. It mirrors the service's state, condenses its status
// report into one terminal status with a coded reason, forwards scanned tickets
// and sends the few commands the user interface needs. The card reader and
// scanner are switched through their own fixed topics, not through the base.
class KVRTTerminal : public DeviceClient
{
    Q_OBJECT
    Q_PROPERTY(QString status READ status NOTIFY statusChanged)
    Q_PROPERTY(QString reason READ reason NOTIFY reasonChanged)
    Q_PROPERTY(QString version READ version NOTIFY versionChanged)
    Q_PROPERTY(QString route READ route NOTIFY routeChanged)
    Q_PROPERTY(QString vehicle READ vehicle NOTIFY vehicleChanged)
    Q_PROPERTY(KVRTTerminalConfig* config READ config NOTIFY configChanged)
    Q_PROPERTY(ValidatorBarcode* barcode READ barcode NOTIFY barcodeChanged)
    Q_PROPERTY(ValidatorRfid* rfid READ rfid NOTIFY rfidChanged)

public:
    KVRTTerminal(MqttClient& mqtt, const QString& base, QObject* parent = nullptr);

    QString status() const { return m_status; }
    QString reason() const { return m_reason; }
    QString reasonCode() const { return m_reasonCode; }
    QString version() const { return m_version; }
    QString route() const { return m_route; }
    QString vehicle() const { return m_vehicle; }
    KVRTTerminalConfig* config() { return &m_config; }
    ValidatorBarcode* barcode() { return &m_barcode; }
    ValidatorRfid* rfid() { return &m_rfid; }

    // The name of a reader's card type code; "Unknown" for anything not listed.
    static QString cardTypeName(int type);

public Q_SLOTS:
    // The switches record the wanted state; the command goes out once, after the
    // current message has been handled, and only when the reader is not known to be
    // in that state already (last reported, or last told since then).
    void enableBarcode();
    void disableBarcode();
    void enableRfid();
    void disableRfid();
    // Sends config() to the service; false when nothing went out: no OBU host to send (a
    // validator without one has no OBU to talk to) or no broker connection.
    bool saveConfig();
    // Sends these settings; once sent, config() holds them. False, with config() as it
    // was, when nothing went out (as above).
    bool saveConfig(const QUrl& obuUrl, int passbackSecs, bool passbackQrEnabled);
    // The validator page's save: the OBU address and password as typed (see
    // KVRTTerminalConfig::obuUrlFromText(); left as shown, they go back as reported) and the
    // passback settings. Once sent, config() holds them; false, with config() as it was,
    // when the address is refused or nothing went out.
    bool saveConfigFrom(const QString& obuText, const QString& obuPassword, int passbackSecs,
                        bool passbackQrEnabled);
    void refreshConfig();

Q_SIGNALS:
    void statusChanged();
    void reasonChanged();
    void versionChanged();
    void routeChanged();
    void vehicleChanged();
    void configChanged();
    void barcodeChanged();
    void rfidChanged();
    void cardDetected(const QString& uid, const QString& type);
    void cardRemoved();
    void cardRetry();
    // The transaction lives only during the emission: receivers copy what they keep.
    void ticketValidated(const Transaction& transaction);
    void maintenanceBarcodeScanned(const QJsonObject& data);

protected:
    void handleMessage(const QByteArray& payload, const QString& topic) override;

private:
    void onMqttDisconnected();
    void onInfo(const QJsonObject& json);
    void onStatus(const QJsonObject& json);
    void onConfig(const QJsonObject& json);
    void onCardFound(const QJsonObject& json);
    void onScanned(const QJsonObject& json);
    void updateBarcode(const QJsonObject& device);
    void updateRfid(const QJsonObject& device);
    // field <- json.object.key, when that is text (notify on change).
    void updateText(const QJsonObject& json, const QString& object, const QString& key,
                    QString& field, void (KVRTTerminal::*notify)());

    void setStatus(const QString& status);
    void setReason(const QString& reason, const QString& code);
    // A fault passes through "offline" so that observers notice it even when the
    // terminal was "online" already; the terminal stays usable ("online") unless
    // the report also says there is no route.
    void raiseFault(const QString& reason, const QString& code, const QJsonObject& state = {});
    bool publishTo(const QString& topic, const QByteArray& payload);

    struct Switch
    {
        std::optional<bool> wanted; // by the callers since the last flush
        std::optional<bool> told; // last command sent since the reported state changed
    };
    void want(Switch& reader, bool on);
    void flushSwitches();
    void flush(Switch& reader, bool reported, const QString& onTopic, const QByteArray& onPayload,
               const QString& offTopic);

    QString m_status;
    QString m_reason;
    QString m_reasonCode;
    QString m_version;
    QString m_route;
    QString m_vehicle;
    KVRTTerminalConfig m_config;
    ValidatorBarcode m_barcode;
    ValidatorRfid m_rfid;

    Switch m_rfidSwitch;
    Switch m_barcodeSwitch;
    bool m_flushPending = false;
    // The OBU address as last reported: a host that QUrl cannot hold is kept as text
    // so that saving the configuration does not wipe it.
    QUrl m_reportedObuUrl;
    QString m_reportedObuHost;
    // The service has reported its OBU address (perhaps none) since the start.
    bool m_obuReported = false;
};

} // namespace manager
