#pragma once

#include "StateService.h"
#include "TicketFactory.h"

#include <QJsonObject>
#include <QStringList>

// Stand-in for the terminal's business service (the BLM service): it owns the
// validator hardware (a contactless reader with a SAM and a barcode scanner), talks
// to the vehicle's on-board unit and validates tickets.
//
// State topics (retained): "/info" {"service": {"version"}, "device": {"rfid", "barcode"}},
// "/status" {"service", "state": {"init", "hasRfid", "hasObu", "hasRoute", "hasNtp"},
// "obu": {"vehicleUuid"}, "route": {"axisName"}, "device": {"rfid": {"active", "error",
// "state", "slots", "sams"}, "barcode": {"active", "enabled"}}}, "/config" {"blm":
// {"obu_host", "obu_port", "obu_username", "obu_password"}, "validator": {"passbackTime",
// "qr_passback"}} (all values as text). Commands: "/config/set" (numbers and booleans
// accepted as well as text), and the fixed reader topics "ovant/rfid/enable|disable"
// and "ovant/barcode/enable|disable". Scans: "/rfid/scanned" and "/barcode/scanned"
// {"transaction": {...}}, "/barcode/maintenance/scanned" (the configuration object),
// "/rfid/retry"; around a card scan the reader's "ovant/rfid/card/found" and
// "ovant/rfid/card/removed" (unless reader events are off).
class TerminalService : public StateService
{
    Q_OBJECT
    Q_PROPERTY(Condition condition READ condition WRITE setCondition NOTIFY stateChanged)
    Q_PROPERTY(bool rfidEnabled READ rfidEnabled NOTIFY stateChanged)
    Q_PROPERTY(bool barcodeEnabled READ barcodeEnabled NOTIFY stateChanged)
    Q_PROPERTY(int readerState READ readerState NOTIFY stateChanged)

public:
    // What the service reports about the terminal as a whole.
    enum Condition {
        AllGood, // everything works, a route is set
        Initialising, // the service is starting up
        NoRfid, // the validator's reader does not answer
        RfidUpdating, // the reader's firmware is being updated
        NoObu, // no connection to the on-board unit
        NoRoute, // the vehicle has no route assigned
        NtpUnsynchronised, // the clock is not synchronised
    };
    Q_ENUM(Condition)

    // The reader states as the service reports them.
    enum ReaderState { Idle = 1, Searching = 2, CardFound = 3, Updating = 4, Error = 5 };

    // The fixed topics of the validator's reader and scanner.
    static const QString RfidTopic;
    static const QString BarcodeTopic;

    explicit TerminalService(const QString& baseTopic = QStringLiteral("ovant/blm"),
                             QObject* parent = nullptr);

    // "ok", "init", "no-rfid", "rfid-updating", "no-obu", "no-route", "ntp-unsync".
    static QStringList conditionNames();
    static bool conditionFromName(const QString& name, Condition* condition);
    static QString conditionName(Condition condition);

    Condition condition() const { return m_condition; }
    void setCondition(Condition condition);

    bool rfidEnabled() const { return m_rfidEnabled; }
    bool barcodeEnabled() const { return m_barcodeEnabled; }
    int readerState() const;
    const QString& route() const { return m_route; }
    const QString& vehicle() const { return m_vehicle; }

    // Whether card scans also announce the card on the reader's own topics. Off when
    // the card-issuing reader service plays those topics in the same simulator.
    void setReaderEvents(bool on) { m_readerEvents = on; }
    // Time the scanned card stays in the field (for the found/removed events).
    void setCardDwell(int msec) { m_cardDwell = qMax(0, msec); }

    // A ticket is presented to the reader (card types) or the scanner (barcode):
    // the validation is published. Returns why nothing was scanned, or an empty text.
    // force scans with a disabled reader or scanner (never with a broken one).
    QString scanTicket(int type, bool valid, int denyReasonId, bool force = false);
    // A configuration barcode of TicketFactory::maintenanceKinds(), or an object.
    QString scanMaintenance(const QJsonObject& barcode, bool force = false);
    // The reader asks the passenger to present the card again.
    QString requestRetry();

    // The configuration as the service reports it.
    QJsonObject configuration() const;
    // The last transaction published, for whoever wants to look.
    const QJsonObject& lastTransaction() const { return m_lastTransaction; }

Q_SIGNALS:
    void stateChanged();
    void configurationChanged();
    void ticketScanned(const QJsonObject& transaction);

private:
    QJsonObject info() const;
    QJsonObject status() const;
    QJsonObject rfidStatus() const;
    void setConfiguration(const QJsonObject& json);
    void setRfidEnabled(bool enabled);
    void setBarcodeEnabled(bool enabled);
    QString readerProblem() const;
    void setReaderEnabled(bool& field, bool enabled, const char* what);
    void changed();

    Condition m_condition = AllGood;
    bool m_rfidEnabled = false;
    bool m_barcodeEnabled = false;
    bool m_cardInField = false;
    bool m_readerEvents = true;
    int m_cardDwell = 400;
    QString m_vehicle = QStringLiteral("c7a1d2e4-5b6f-4a38-9e0d-2f1b3c4d5e6f");
    QString m_route = QStringLiteral("X95 Syntagma - Airport");

    QString m_obuHost = QStringLiteral("obc.local");
    QString m_obuPort = QStringLiteral("1883");
    QString m_obuUsername = QStringLiteral("validator");
    QString m_obuPassword = QStringLiteral("s3cret");
    QString m_passbackTime = QStringLiteral("60");
    QString m_qrPassback = QStringLiteral("true");

    TicketFactory m_tickets;
    QJsonObject m_lastTransaction;
};
