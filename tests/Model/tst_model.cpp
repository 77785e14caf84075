// The models the screens read: cards, transactions, device reports and the configuration.

#include "KVRTTerminalConfig.h"
#include "KVRTv1Card.h"
#include "SAM.h"
#include "TableRows.h"
#include "Transaction.h"
#include "ValidatorBarcode.h"
#include "ValidatorRfid.h"

#include <QPointer>
#include <QTranslator>

#include <limits>
#include <memory>
#include <time.h>

namespace {
// Translates one text of one context only, so that a wrong context or text shows as English.
class BlockedTranslator : public QTranslator
{
public:
    QString translate(const char* context, const char* text, const char*, int) const override
    {
        return QByteArray(context) == "Transaction" && QByteArray(text) == "The card is blocked"
            ? QStringLiteral("Η κάρτα είναι μπλοκαρισμένη")
            : QString();
    }
    bool isEmpty() const override { return false; }
};

// Records the notify signals an object emits, in emission order.
class SignalRecorder : public QObject
{
    Q_OBJECT
public:
    explicit SignalRecorder(QObject* object)
    {
        const QMetaObject* meta = object->metaObject();
        for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
            if (meta->method(i).methodType() == QMetaMethod::Signal)
                QMetaObject::connect(object, i, this, metaObject()->indexOfSlot("record()"));
        }
    }
    QJsonArray fired;
public Q_SLOTS:
    void record()
    {
        fired.append(QString(sender()->metaObject()->method(senderSignalIndex()).name()));
    }
};

// A model fed as its owner feeds it: fromJson, or property writes for the configuration.
void feed(QObject* model, const QJsonObject& json)
{
    if (auto* rfid = qobject_cast<ValidatorRfid*>(model))
        rfid->fromJson(json);
    else if (auto* sam = qobject_cast<SAM*>(model))
        sam->fromJson(json);
    else if (auto* barcode = qobject_cast<ValidatorBarcode*>(model))
        barcode->fromJson(json);
    else
        for (auto it = json.begin(); it != json.end(); ++it)
            model->setProperty(qPrintable(it.key()), it.value().toVariant());
}

// The row's "changes" applied over the defaults, compared with what was read.
void compareRead(const QJsonObject& read, const char* defaults)
{
    const QJsonObject expected
        = changed(QJsonDocument::fromJson(defaults).object(), cell("changes").toObject());
    QVERIFY2(read == expected, QJsonDocument(read).toJson(QJsonDocument::Compact));
}
} // namespace

class TestModel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        // A zone with daylight saving time, so that the spring-forward hour is exercised.
        qputenv("TZ", "EET-2EEST,M3.5.0/3,M10.5.0/4");
        tzset();
    }
    // A card object as the reader reports it, and what reading it gives beyond reading {}.
    void readCard_data()
    {
        addJsonRows({"json", "changes"}, R"([
["issued card", {"uid": "04AB", "type": 4, "template": "KVRTv1", "data": {"info": {"version": 7, "customsId": 1, "status": "active"}, "usageCounter": 2, "usageLog": [{"type": "entry"}, {"timestamp": "2024-05-06T07:08:09", "type": "exit"}]}}, {"uid": "04AB", "type": 4, "typeName": "MIFARE Classic 1K", "name": "KVRTv1", "status": "active", "customsId": 1, "usageCounter": 2, "entries": 2, "last": "exit", "lastTime": "2024-05-06T07:08:09"}],
["data an array", {"data": [1]}, {}],
["wrong types", {"uid": 5, "type": "4", "template": {}, "data": {"info": {"customsId": "3", "status": 1}, "usageCounter": true, "usageLog": {"type": "x"}}}, {}],
["combined bits", {"uid": "A", "type": 3}, {"uid": "A", "type": 3}],
["other technology", {"type": 32768}, {"type": 32768, "typeName": "Other"}],
["log elements not objects", {"data": {"usageLog": [3, {}]}}, {"entries": 2, "last": "", "lastTime": ""}],
["time with a zone", {"data": {"usageLog": [{"timestamp": "2024-05-06T07:08:09Z"}]}}, {"entries": 1, "last": "", "lastTime": ""}]])");
    }
    void readCard()
    {
        const QJsonObject json = cell("json").toObject();
        const KVRTv1Card::Ptr card = KVRTv1Card::fromJson(json);
        const KVRTv1Card::Usage* last = card->lastUsage();
        compareRead({{"uid", card->uid()},
                     {"type", card->type()},
                     {"typeName", Tag::typeToStr(card->type())},
                     {"name", card->name()},
                     {"status", card->status()},
                     {"customsId", card->customsId()},
                     {"usageCounter", card->usageCounter()},
                     {"entries", card->usageLogs().size()},
                     {"last", last ? QJsonValue(last->type) : QJsonValue()},
                     {"lastTime", last ? last->toJson().value("timestamp") : QJsonValue()}},
                    R"({"uid": "", "type": 0, "name": "", "typeName": "Unknown", "status": "",
                    "customsId": 0, "usageCounter": 0, "entries": 0, "last": null, "lastTime": null})");
        QCOMPARE(Tag::fromJson(json)->toJson(),
                 (QJsonObject {{"uid", card->uid()}, {"type", card->type()}}));
        // Whatever was read, the card writes complete content and none of the read log.
        const QJsonObject data = card->toJson().value("data").toObject();
        QCOMPARE(data.value("info").toObject(),
                 (QJsonObject {{"version", 0},
                               {"customsId", card->customsId()},
                               {"status", card->status()}}));
        QCOMPARE(data.value("usageLog"), QJsonValue(QJsonArray()));
    }
    void issuedCard()
    {
        KVRTv1Card card;
        card.setCustomsId(1);
        card.setStatus(QStringLiteral("active"));
        card.incrUsageCounter(1);
        KVRTv1Card::Usage entry;
        entry.fromJson({{"type", "entry"}, {"deviceId", "DEV-7"}, {"locationId", "gate"}});
        entry.timestamp = QDateTime(QDate(2024, 11, 3), QTime(21, 5, 9, 450));
        entry.usageCounter = card.usageCounter();
        card.addUsageLog(entry);
        QVERIFY(!card.lastUsage());
        const QJsonObject expected
            = QJsonDocument::fromJson(
                  R"({"uid": "", "type": 0, "template": "KVRTv1", "data": {"info": {"version": 0, "customsId": 1, "status": "active"},
            "usageCounter": 1, "usageLog": [{"timestamp": "2024-11-03T21:05:09", "type": "entry", "usageCounter": 1, "deviceId": "DEV-7", "locationId": "gate"}]}})")
                  .object();
        QCOMPARE(Card::Ptr(KVRTv1Card::Ptr::create(card))->toJson(), expected);
        QCOMPARE(KVRTv1Card::fromJson(expected)->lastUsage()->toJson(),
                 expected["data"]["usageLog"][0].toObject());

        // An entry added now takes the counter as it stands and the current time.
        const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
        card.incrUsageCounter(5);
        card.addUsageLog(QStringLiteral("exit"), QStringLiteral("D"), QStringLiteral("L"));
        const QJsonValue added = card.data().value("usageLog")[1];
        QCOMPARE(added["usageCounter"].toInt(), 6);
        const QDateTime stamp = QDateTime::fromString(added["timestamp"].toString(), Qt::ISODate);
        QVERIFY(stamp >= before && stamp <= QDateTime::currentDateTime().addSecs(1));
        // A counter read from a damaged card may sit at a limit: it saturates, never wraps.
        card.incrUsageCounter(std::numeric_limits<int>::max());
        QCOMPARE(card.usageCounter(), std::numeric_limits<int>::max());
        card.setData({{"usageCounter", std::numeric_limits<int>::min()}});
        card.incrUsageCounter(-1);
        QCOMPARE(card.usageCounter(), std::numeric_limits<int>::min());
        // Content of no fields is written as null, not as an empty object.
        struct Blank : Card
        {
            using Card::Card;
            QJsonObject data() const override { return {}; }
            void setData(const QJsonObject&) override { }
        };
        QCOMPARE(Blank("B1", Tag::Type(4)).toJson().value("data"), QJsonValue(QJsonValue::Null));
    }
    // The summary QML reads, as changes to that of an empty transaction.
    void summary_data()
    {
        addJsonRows({"json", "changes"}, R"([
["empty", {}, {}],
["refused", {"result": false, "type": 5, "ticketId": "T-7", "fareProductName": "10 trips", "passengerTypeName": "Student", "denyReason": {"id": 204}}, {"type": 5, "fareProduct": "10 trips", "passengeType": "Student", "denyReasonId": 204, "denyReason": "The card does not have enough trips"}],
["wrong types", {"result": "true", "type": "5", "ticketId": 77, "fareProductName": null, "passengerTypeName": [], "denyReason": 204}, {}],
["accepted", {"result": true}, {"valid": true}],
["deny 256", {"denyReason": {"id": 256}}, {"denyReasonId": 256}],
["deny 253.5", {"denyReason": {"id": 253.5}}, {}]])");
    }
    void summary()
    {
        const QJsonValue json = cell("json");
        const Transaction transaction(json.toObject());
        QVariantMap read = transaction.toMap();
        QCOMPARE(read.take("details"), QVariant(transaction.details()));
        compareRead(QJsonObject::fromVariantMap(read), R"({"valid": false, "type": 0,
            "denyReasonId": 0, "denyReason": "Unknown Error", "fareProduct": "", "passengeType": ""})");
        QCOMPARE(transaction.property("passengerType"), read.value("passengeType"));
        QCOMPARE(transaction.property("ticketId").toString(), json["ticketId"].toString());
    }
    // What the screens show of each product, as changes to the default details.
    void details_data()
    {
        addJsonRows({"json", "changes"}, R"([
["empty", {}, {}],
["e-purse", {"type": 2, "card": {"balanceBefore": 1050, "balanceAfter": 900}}, {"deducted": 1.5, "remaining": 9}],
["capping e-purse, beyond an int", {"type": 15, "card": {"balanceBefore": 2147483647, "balanceAfter": -2147483648}}, {"deducted": 42949672.95, "remaining": -21474836.48}],
["transfer e-purse", {"type": 14, "card": {"balanceAfter": 750, "balanceBefore": 900, "ePurse": {"transferRemainingMin": 25}}}, {"remaining": 7.5, "transferRemainingMin": 25}],
["barcode", {"type": 0, "barcode": {"fromStopGroupName": "Port", "toStopGroupName": "Square", "transferRemainingMin": 60}, "card": {"balanceAfter": 100}}, {"fromStopGroupName": "Port", "toStopGroupName": "Square", "transferRemainingMin": 60}],
["stored journeys", {"type": 5, "card": {"storedJourneys": {"after": 4, "transferRemainingMin": 45, "activationTimestamp": "2024-06-01T10:15:30Z"}, "periodPass": {"remainingMinutes": 9}}}, {"remaining": 4, "transferRemainingMin": 45, "activationTimestamp": "2024-06-01T13:15:30.000"}],
["spring-forward hour", {"type": 16, "card": {"storedJourneys": {"activationTimestamp": "2024-03-31T03:30:00Z"}}}, {"activationTimestamp": "2024-03-31T06:30:00.000"}],
["space for T", {"type": 5, "card": {"storedJourneys": {"activationTimestamp": "2024-01-15 08:00:00Z"}}}, {}],
["no Z", {"type": 5, "card": {"storedJourneys": {"activationTimestamp": "2024-01-15T08:00:00"}}}, {}],
["sign in a field", {"type": 5, "card": {"storedJourneys": {"activationTimestamp": "2024-01-+5T08:00:00Z"}}}, {}],
["february 30", {"type": 5, "card": {"storedJourneys": {"activationTimestamp": "2024-02-30T08:00:00Z"}}}, {}],
["hour 24", {"type": 12, "card": {"storedJourneys": {"activationTimestamp": "2024-01-15T24:00:00Z"}}}, {}],
["pass", {"type": 8, "card": {"periodPass": {"remainingMinutes": 90, "remainingDays": 5, "activationTimestamp": "2024-01-15T08:00:00Z"}}}, {"remaining": 90, "activationTimestamp": "2024-01-15T10:00:00.000"}],
["pass in days", {"type": 8, "card": {"periodPass": {"remainingMinutes": null, "remainingDays": 2}}}, {"remaining": 2880}],
["pass beyond", {"type": 8, "card": {"periodPass": {"remainingMinutes": null, "remainingDays": 2000000}}}, {"remaining": 2147483647}],
["EMV", {"type": 10, "card": {"balanceBefore": 9, "storedJourneys": {"after": 4}}}, {}]])");
    }
    void details()
    {
        const QJsonValue json = cell("json");
        const QDateTime before = QDateTime::currentDateTime();
        const QVariantMap details = Transaction(json.toObject()).details();
        const QDateTime after = QDateTime::currentDateTime();
        // Local times show without a zone, UTC ones with "Z"; the zone is fixed above.
        QJsonObject shown = QJsonObject::fromVariantMap(details);
        // A pass expires its remaining minutes from now, not from activation.
        const qint64 secs = details.value("remaining").toInt() * qint64(60);
        const QDateTime expires = details.value("expires").toDateTime();
        QCOMPARE(expires.isValid(), json["type"].toInt() == Transaction::CardPeriodPass);
        QVERIFY(!expires.isValid()
                || (expires >= before.addSecs(secs) && expires <= after.addSecs(secs)));
        shown.remove("expires");
        compareRead(shown, R"({"fromStopGroupName": "", "toStopGroupName": "", "deducted": 0,
            "remaining": 0, "activationTimestamp": "", "transferRemainingMin": 0})");
    }
    // Every refusal the service can name has a text of its own for the passenger; only
    // 203/207 and the blocked-card range share one.
    void everyDenyReasonIsNamed()
    {
        QList<int> ids {250, 251, 252, 253, 254, 255, 300, 301, 500};
        for (int id = 100; id <= 110; ++id)
            ids << id;
        for (int id = 200; id <= 209; ++id)
            ids << id;
        QSet<QString> texts;
        for (const int id : qAsConst(ids)) {
            const QString text
                = Transaction(QJsonObject {{"denyReason", QJsonObject {{"id", id}}}}).denyReason();
            QVERIFY2(text != Transaction(QJsonObject {}).denyReason(),
                     qPrintable(QString::number(id)));
            texts << text;
        }
        QCOMPARE(texts.size(), 24);
    }
    void denyReasonFollowsLanguage()
    {
        const Transaction blocked(QJsonObject {{"denyReason", QJsonObject {{"id", 252}}}});
        BlockedTranslator translator;
        QVERIFY(QCoreApplication::installTranslator(&translator));
        const QString translated = blocked.denyReason();
        QCoreApplication::removeTranslator(&translator);
        QCOMPARE(translated + ',' + blocked.denyReason(),
                 QStringLiteral("Η κάρτα είναι μπλοκαρισμένη,The card is blocked"));
    }
    // A model given one report, then another: the signals (in order) and values that follow.
    void reports_data()
    {
        addJsonRows({"first", "second", "expected"}, R"([
["rfid status part", {}, {"state": 2, "active": true, "slots": [true, false], "sams": [{"slot": 1, "name": "X"}]}, {"fired": ["activeChanged", "stateChanged", "enabledChanged", "numberOfSlotsChanged", "samChanged"], "state": "Searching", "enabled": true, "numberOfSlots": 2, "sams": 1}],
["rfid disabled", {"state": 3}, {"state": 4}, {"fired": ["stateChanged", "enabledChanged", "samChanged"], "state": "Updating", "enabled": false}],
["rfid same state, SAMs anew", {"state": 1, "sams": [{}]}, {"state": 1, "sams": [{}]}, {"fired": ["samChanged"], "state": "Idle", "sams": 1}],
["rfid status without SAMs", {"state": 1, "sams": [{}]}, {"state": 1}, {"fired": ["samChanged"], "sams": 0}],
["rfid info part", {"state": 5, "error": "antenna", "firmware": "1", "model": "R9"}, {"firmware": "1.3", "manufacturer": "Acme"}, {"fired": ["firmwareChanged", "modelChanged", "manufacturerChanged"], "state": "Error", "error": "antenna", "model": "", "version": ""}],
["rfid wrong types", {"state": 3, "active": true, "error": "x", "slots": [true]}, {"state": 3, "active": "yes", "error": 5, "slots": {"0": true}, "sams": "none"}, {"fired": ["activeChanged", "errorChanged", "numberOfSlotsChanged", "samChanged"], "active": false, "error": "", "numberOfSlots": 0, "sams": 0}],
["rfid elements of wrong types", {}, {"state": 3, "slots": [1, null], "sams": [null, 4]}, {"fired": ["stateChanged", "enabledChanged", "numberOfSlotsChanged", "samChanged"], "numberOfSlots": 2, "sams": 2}],
["sam unchanged", {"slot": 2, "unlocked": true, "production": "2023-05-17", "vendor": "NXP"}, {"slot": 2, "unlocked": true, "production": "2023-05-17", "vendor": "NXP"}, {"fired": [], "slot": 2, "unlocked": true, "production": "2023-05-17"}],
["sam missing keys reset", {"slot": 2, "enabled": true, "unlocked": true, "atr": "3B", "batch": "B7", "mode": "AV2", "name": "S", "production": "2023-05-17", "uid": "04", "vendor": "NXP", "version": "3.1"}, {"slot": 2}, {"fired": ["enabledChanged", "unlockedChanged", "atrChanged", "batchChanged", "modeChanged", "nameChanged", "productionChanged", "uidChanged", "vendorChanged", "versionChanged"], "production": null}],
["sam month 13", {}, {"production": "2021-13-01"}, {"fired": [], "production": null}],
["barcode absent keys kept", {"active": true, "enabled": true, "firmware": "F", "model": "S"}, {"enabled": false, "version": "ignored"}, {"fired": ["enabledChanged"], "active": true, "enabled": false, "model": "S", "version": ""}],
["barcode wrong types", {"active": true, "firmware": "F", "manufacturer": "M"}, {"active": "true", "firmware": 12}, {"fired": ["activeChanged", "firmwareChanged"], "active": false, "firmware": "", "manufacturer": "M"}],
["config written by QML", {"passbackSecs": 30, "obuUrl": "mqtt:\/\/obu@10.0.0.1:1883"}, {"passbackSecs": 30, "passbackQrEnabled": true, "obuUrl": "mqtt:\/\/10.0.0.2"}, {"fired": ["obuUrlChanged", "passbackQrEnabledChanged"], "passbackSecs": 30, "obuUrl": "mqtt:\/\/10.0.0.2"}]])");
    }
    void reports()
    {
        const QString kind = QString(QTest::currentDataTag()).section(' ', 0, 0);
        const std::unique_ptr<QObject> model(kind == "rfid"      ? new ValidatorRfid
                                                 : kind == "sam" ? new SAM
                                                 : kind == "barcode"
                                                 ? static_cast<QObject*>(new ValidatorBarcode)
                                                 : new KVRTTerminalConfig);
        feed(model.get(), cell("first").toObject());
        SignalRecorder recorder(model.get());
        feed(model.get(), cell("second").toObject());
        const QJsonObject wanted = cell("expected").toObject();
        for (auto it = wanted.begin(); it != wanted.end(); ++it) {
            const QJsonValue value = it.key() == QLatin1String("fired") ? QJsonValue(recorder.fired)
                : it.key() == QLatin1String("sams")
                ? QJsonValue(qobject_cast<ValidatorRfid*>(model.get())->sams().size())
                : QJsonValue::fromVariant(model->property(qPrintable(it.key())));
            QVERIFY2(value == it.value(),
                     qPrintable(it.key() + ": " + QJsonDocument(QJsonArray {value}).toJson()));
        }
    }
    void replacedSamsLiveUntilTheEventLoop()
    {
        ValidatorRfid rfid;
        const QJsonObject report {{"state", 2}, {"sams", QJsonArray {QJsonObject {{"uid", "S0"}}}}};
        rfid.fromJson(report);
        QPointer<SAM> old = rfid.sam();
        QCOMPARE(old->parent(), &rfid);
        rfid.fromJson(report);
        QVERIFY(rfid.sam() != old);
        // QML may still read the old object until it hears samChanged.
        QVERIFY(old);
        QTRY_VERIFY(!old);
        QCOMPARE(rfid.children().size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestModel)
#include "tst_model.moc"
