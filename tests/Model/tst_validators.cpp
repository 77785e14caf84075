#include "KVRTTerminalConfig.h"
#include "SAM.h"
#include "TableRows.h"
#include "ValidatorBarcode.h"
#include "ValidatorRfid.h"

#include <QPointer>

#include <memory>

namespace {
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
} // namespace

class TestValidators : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // A model given one report, then another: the signals (in order) and values that follow.
    void reports_data()
    {
        addJsonRows({"first", "second", "expected"}, R"([
["rfid status part", {}, {"state": 2, "active": true, "slots": [true, false], "sams": [{"slot": 1, "name": "X"}]}, {"fired": ["activeChanged", "stateChanged",
    "enabledChanged", "numberOfSlotsChanged", "samChanged"], "state": "Searching", "enabled": true, "numberOfSlots": 2, "sams": 1}],
["rfid disabled", {"state": 3}, {"state": 4}, {"fired": ["stateChanged", "enabledChanged", "samChanged"], "state": "Updating", "enabled": false}],
["rfid same state, SAMs anew", {"state": 1, "sams": [{}]}, {"state": 1, "sams": [{}]}, {"fired": ["samChanged"], "state": "Idle", "sams": 1}],
["rfid status without SAMs", {"state": 1, "sams": [{}]}, {"state": 1}, {"fired": ["samChanged"], "sams": 0}],
["rfid info part", {"state": 5, "error": "antenna", "firmware": "1", "model": "R9"},
    {"firmware": "1.3", "manufacturer": "Acme"}, {"fired": ["firmwareChanged", "modelChanged",
    "manufacturerChanged"], "state": "Error", "error": "antenna", "model": "", "version": ""}],
["rfid wrong types", {"state": 3, "active": true, "error": "x", "slots": [true]},
    {"state": 3, "active": "yes", "error": 5, "slots": {"0": true}, "sams": "none"},
    {"fired": ["activeChanged", "errorChanged", "numberOfSlotsChanged", "samChanged"], "active": false, "error": "", "numberOfSlots": 0, "sams": 0}],
["rfid elements of wrong types", {}, {"state": 3, "slots": [1, null], "sams": [null, 4]},
    {"fired": ["stateChanged", "enabledChanged", "numberOfSlotsChanged", "samChanged"], "numberOfSlots": 2, "sams": 2}],
["rfid neither part", {"state": 2}, {"unrelated": 1}, {"fired": [], "state": "Searching"}],
["rfid state 2.5", {}, {"state": 2.5}, {"state": "Unknown", "enabled": false}],
["sam unchanged", {"slot": 2, "unlocked": true, "production": "2023-05-17", "vendor": "NXP"},
    {"slot": 2, "unlocked": true, "production": "2023-05-17", "vendor": "NXP"}, {"fired": [], "slot": 2, "unlocked": true, "production": "2023-05-17"}],
["sam missing keys reset", {"slot": 2, "enabled": true, "unlocked": true, "atr": "3B",
    "batch": "B7", "mode": "AV2", "name": "S", "production": "2023-05-17", "uid": "04",
    "vendor": "NXP", "version": "3.1"}, {"slot": 2}, {"fired": ["enabledChanged", "unlockedChanged", "atrChanged", "batchChanged", "modeChanged", "nameChanged",
    "productionChanged", "uidChanged", "vendorChanged", "versionChanged"], "production": null}],
["sam leap day", {}, {"production": "2024-02-29"}, {"production": "2024-02-29"}],
["sam month 13", {}, {"production": "2021-13-01"}, {"fired": [], "production": null}],
["sam date and time", {}, {"production": "2021-12-31T10:00:00"}, {"production": null}],
["barcode absent keys kept", {"active": true, "enabled": true, "firmware": "F", "model": "S"},
    {"enabled": false, "version": "ignored"}, {"fired": ["enabledChanged"], "active": true, "enabled": false, "model": "S", "version": ""}],
["barcode wrong types", {"active": true, "firmware": "F", "manufacturer": "M"},
    {"active": "true", "firmware": 12}, {"fired": ["activeChanged", "firmwareChanged"], "active": false, "firmware": "", "manufacturer": "M"}],
["config written by QML", {"passbackSecs": 30, "obuUrl": "mqtt:\/\/obu@10.0.0.1:1883"},
    {"passbackSecs": 30, "passbackQrEnabled": true, "obuUrl": "mqtt:\/\/10.0.0.2"}, {"fired": ["obuUrlChanged", "passbackQrEnabledChanged"], "passbackSecs": 30,
    "obuUrl": "mqtt:\/\/10.0.0.2"}]])");
    }
    void reports()
    {
        QFETCH(QJsonValue, first);
        QFETCH(QJsonValue, second);
        QFETCH(QJsonValue, expected);
        const QString kind = QString(QTest::currentDataTag()).section(' ', 0, 0);
        std::unique_ptr<QObject> model;
        if (kind == QLatin1String("rfid"))
            model = std::make_unique<ValidatorRfid>();
        else if (kind == QLatin1String("sam"))
            model = std::make_unique<SAM>();
        else if (kind == QLatin1String("barcode"))
            model = std::make_unique<ValidatorBarcode>();
        else
            model = std::make_unique<KVRTTerminalConfig>();
        feed(model.get(), first.toObject());
        SignalRecorder recorder(model.get());
        feed(model.get(), second.toObject());
        const QJsonObject wanted = expected.toObject();
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

QTEST_GUILESS_MAIN(TestValidators)
#include "tst_validators.moc"
