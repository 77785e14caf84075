#include "Card.h"
#include "KVRTv1Card.h"
#include "Tag.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QMetaType>
#include <QtTest>

#include <limits>

namespace {
QJsonObject parse(const char* text)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray(text), &error);
    if (error.error != QJsonParseError::NoError)
        qFatal("bad test JSON: %s", qPrintable(error.errorString()));
    return doc.object();
}

// A card of a template whose content happens to be empty.
class EmptyCard : public Card
{
public:
    using Card::Card;
    QJsonObject data() const override { return {}; }
    void setData(const QJsonObject&) override { }
};
} // namespace

class TestCard : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void tagJsonRoundTrip();
    void tagFromMalformedJson_data();
    void tagFromMalformedJson();
    void typeNames_data();
    void typeNames();
    void pointerTypesUsableInSignals();

    void cardWithEmptyContentWritesNullData();
    void issuedCardJson();
    void issuedCardReadsBack();
    void readLogIsNotWrittenBack();
    void lastUsageOnlyConsultsReadLog();
    void reloadingContentReplacesReadLog();
    void newEntryTakesCounterAtThatMoment();
    void usageCounterSaturates();

    void cardFromMalformedJson_data();
    void cardFromMalformedJson();
    void invalidUsageTimestamp_data();
    void invalidUsageTimestamp();
    void versionIsNeitherReadNorKept();
};

void TestCard::tagJsonRoundTrip()
{
    const Tag tag(QStringLiteral("04A1B2C3D4E5F6"), Tag::MIFARE_DESFire);
    const QJsonObject json = tag.toJson();
    QCOMPARE(json, parse(R"({"uid": "04A1B2C3D4E5F6", "type": 256})"));

    const Tag::Ptr read = Tag::fromJson(json);
    QVERIFY(read);
    QCOMPARE(read->uid(), tag.uid());
    QCOMPARE(read->type(), tag.type());
}

void TestCard::tagFromMalformedJson_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("uid");
    QTest::addColumn<int>("type");

    QTest::newRow("empty") << QByteArray("{}") << QString() << 0;
    QTest::newRow("nulls") << QByteArray(R"({"uid": null, "type": null})") << QString() << 0;
    QTest::newRow("wrong types") << QByteArray(R"({"uid": 1234, "type": "4"})") << QString() << 0;
    QTest::newRow("huge type") << QByteArray(R"({"uid": "A", "type": 1e300})") << "A" << 0;
    QTest::newRow("fractional type") << QByteArray(R"({"uid": "A", "type": 4.5})") << "A" << 0;
    QTest::newRow("combined bits kept") << QByteArray(R"({"uid": "A", "type": 3})") << "A" << 3;
    QTest::newRow("negative kept") << QByteArray(R"({"uid": "A", "type": -7})") << "A" << -7;
}

void TestCard::tagFromMalformedJson()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, uid);
    QFETCH(int, type);

    const Tag::Ptr tag = Tag::fromJson(QJsonDocument::fromJson(json).object());
    QVERIFY(tag);
    QCOMPARE(tag->uid(), uid);
    QCOMPARE(static_cast<int>(tag->type()), type);
    QCOMPARE(tag->toJson().value("type").toInt(), type);
}

void TestCard::typeNames_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("name");

    QTest::newRow("None") << 0 << "Unknown";
    QTest::newRow("4A") << 1 << "ISO14443-4A";
    QTest::newRow("4B") << 2 << "ISO14443-4B";
    QTest::newRow("Classic 1K") << 4 << "MIFARE Classic 1K";
    QTest::newRow("Classic 4K") << 8 << "MIFARE Classic 4K";
    QTest::newRow("Plus 2K") << 16 << "MIFARE Plus 2K";
    QTest::newRow("Plus 4K") << 32 << "MIFARE Plus 4K";
    QTest::newRow("Ultralight") << 64 << "MIFARE Ultralight";
    QTest::newRow("Mini") << 128 << "MIFARE Mini";
    QTest::newRow("DESFire") << 256 << "MIFARE DESFire";
    QTest::newRow("EMV") << 512 << "EMV";
    QTest::newRow("Other") << 32768 << "Other";
    QTest::newRow("two bits") << 3 << "Unknown";
    QTest::newRow("unlisted bit") << 1024 << "Unknown";
    QTest::newRow("negative") << -1 << "Unknown";
    QTest::newRow("beyond 16 bits") << 65536 << "Unknown";
}

void TestCard::typeNames()
{
    QFETCH(int, type);
    QFETCH(QString, name);
    QCOMPARE(Tag::typeToStr(static_cast<Tag::Type>(type)), name);
}

void TestCard::pointerTypesUsableInSignals()
{
    // Device clients declare signals with these names; queued connections and spies need them.
    QVERIFY(QMetaType::type("Tag::Ptr") != QMetaType::UnknownType);
    QVERIFY(QMetaType::type("Card::Ptr") != QMetaType::UnknownType);

    Card::Ptr card = KVRTv1Card::Ptr::create();
    const QVariant variant = QVariant::fromValue(card);
    QCOMPARE(variant.value<Card::Ptr>(), card);
}

void TestCard::cardWithEmptyContentWritesNullData()
{
    EmptyCard card(QStringLiteral("01"), Tag::EMV);
    card.setName(QStringLiteral("Other"));
    const QJsonObject json = card.toJson();
    QCOMPARE(json, parse(R"({"uid": "01", "type": 512, "template": "Other", "data": null})"));
}

void TestCard::issuedCardJson()
{
    // What the entry gate composes for a new card.
    KVRTv1Card card;
    QCOMPARE(card.name(), QStringLiteral("KVRTv1"));
    QCOMPARE(card.status(), QStringLiteral("available"));
    card.setCustomsId(1);
    card.setStatus(QStringLiteral("active"));
    card.incrUsageCounter(1);

    KVRTv1Card::Usage entry;
    entry.type = QStringLiteral("entry");
    entry.deviceId = QStringLiteral("DEV-7");
    entry.locationId = QStringLiteral("ovant-rnd");
    entry.timestamp = QDateTime(QDate(2024, 11, 3), QTime(21, 5, 9, 450));
    entry.usageCounter = card.usageCounter();
    card.addUsageLog(entry);

    const QJsonObject expected = parse(R"({
        "uid": "", "type": 0, "template": "KVRTv1",
        "data": {
            "info": {"version": 0, "customsId": 1, "status": "active"},
            "usageCounter": 1,
            "usageLog": [{"timestamp": "2024-11-03T21:05:09", "type": "entry", "usageCounter": 1,
                          "deviceId": "DEV-7", "locationId": "ovant-rnd"}]
        }})");
    QCOMPARE(card.toJson(), expected);
    // Through the polymorphic interface the reader client uses.
    const Card::Ptr asCard = KVRTv1Card::Ptr::create(card);
    QCOMPARE(asCard->toJson(), expected);
}

void TestCard::issuedCardReadsBack()
{
    KVRTv1Card written;
    written.setCustomsId(42);
    written.setStatus(QStringLiteral("active"));
    written.incrUsageCounter(3);
    written.addUsageLog(QStringLiteral("entry"), QStringLiteral("D1"), QStringLiteral("L1"));
    written.incrUsageCounter(1);
    written.addUsageLog(QStringLiteral("exit"), QStringLiteral("D2"), QStringLiteral("L2"));

    QJsonObject json = written.toJson();
    json.insert(QStringLiteral("uid"), QStringLiteral("UID9"));
    json.insert(QStringLiteral("type"), Tag::MIFARE_Classic_1K);
    const KVRTv1Card::Ptr read = KVRTv1Card::fromJson(json);

    QVERIFY(read);
    QCOMPARE(read->uid(), QStringLiteral("UID9"));
    QCOMPARE(read->type(), Tag::MIFARE_Classic_1K);
    QCOMPARE(read->name(), KVRTv1Card::Name);
    QCOMPARE(read->customsId(), 42);
    QCOMPARE(read->status(), QStringLiteral("active"));
    QCOMPARE(read->usageCounter(), 4);
    QCOMPARE(read->usageLogs().size(), 2);

    const QJsonArray writtenLog = written.data().value("usageLog").toArray();
    for (int i = 0; i < 2; ++i) {
        const KVRTv1Card::Usage& usage = read->usageLogs().at(i);
        QCOMPARE(usage.toJson(), writtenLog.at(i).toObject());
        QVERIFY(usage.timestamp.isValid());
        QCOMPARE(usage.timestamp.timeSpec(), Qt::LocalTime);
    }
    QCOMPARE(read->usageLogs().at(0).type, QStringLiteral("entry"));
    QCOMPARE(read->usageLogs().at(1).deviceId, QStringLiteral("D2"));
    QCOMPARE(read->usageLogs().at(1).locationId, QStringLiteral("L2"));
}

void TestCard::readLogIsNotWrittenBack()
{
    const KVRTv1Card::Ptr card = KVRTv1Card::fromJson(parse(R"({
        "uid": "U", "type": 4, "template": "KVRTv1",
        "data": {"info": {"customsId": 5, "status": "active"}, "usageCounter": 2,
                 "usageLog": [{"timestamp": "2024-01-01T10:00:00", "type": "entry",
                               "usageCounter": 1, "deviceId": "D", "locationId": "L"},
                              {"timestamp": "2024-01-02T11:00:00", "type": "exit",
                               "usageCounter": 2, "deviceId": "D", "locationId": "L"}]}})"));
    QCOMPARE(card->usageLogs().size(), 2);
    QCOMPARE(card->data().value("usageLog").toArray(), QJsonArray());

    card->addUsageLog(QStringLiteral("exit"), QStringLiteral("D3"), QStringLiteral("L3"));
    const QJsonArray written = card->data().value("usageLog").toArray();
    QCOMPARE(written.size(), 1);
    QCOMPARE(written.at(0).toObject().value("deviceId").toString(), QStringLiteral("D3"));
    QCOMPARE(card->usageLogs().size(), 2);
}

void TestCard::lastUsageOnlyConsultsReadLog()
{
    KVRTv1Card composed;
    composed.addUsageLog(QStringLiteral("entry"), QStringLiteral("D"), QStringLiteral("L"));
    QVERIFY(!composed.lastUsage());

    const KVRTv1Card::Ptr read = KVRTv1Card::fromJson(parse(R"({"template": "KVRTv1",
        "data": {"usageLog": [{"type": "entry", "usageCounter": 1},
                              {"type": "exit", "usageCounter": 2}]}})"));
    QVERIFY(read->lastUsage());
    QCOMPARE(read->lastUsage()->type, QStringLiteral("exit"));
    QCOMPARE(read->lastUsage()->usageCounter, 2);
}

void TestCard::reloadingContentReplacesReadLog()
{
    KVRTv1Card card;
    card.setData(parse(R"({"info": {"customsId": 1, "status": "active"}, "usageCounter": 1,
                           "usageLog": [{"type": "entry", "deviceId": "A"}]})"));
    card.setData(parse(R"({"info": {"customsId": 2, "status": "blocked"}, "usageCounter": 3,
                           "usageLog": [{"type": "exit", "deviceId": "B"}]})"));
    QCOMPARE(card.customsId(), 2);
    QCOMPARE(card.status(), QStringLiteral("blocked"));
    QCOMPARE(card.usageCounter(), 3);
    QCOMPARE(card.usageLogs().size(), 1);
    QCOMPARE(card.usageLogs().at(0).deviceId, QStringLiteral("B"));
}

void TestCard::newEntryTakesCounterAtThatMoment()
{
    KVRTv1Card card;
    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    card.incrUsageCounter(1);
    card.addUsageLog(QStringLiteral("entry"), QStringLiteral("D"), QStringLiteral("L"));
    card.incrUsageCounter(5);
    card.addUsageLog(QStringLiteral("exit"), QStringLiteral("D"), QStringLiteral("L"));
    const QDateTime after = QDateTime::currentDateTime().addSecs(1);

    const QJsonArray log = card.data().value("usageLog").toArray();
    QCOMPARE(log.size(), 2);
    QCOMPARE(log.at(0).toObject().value("usageCounter").toInt(), 1);
    QCOMPARE(log.at(1).toObject().value("usageCounter").toInt(), 6);
    QCOMPARE(card.data().value("usageCounter").toInt(), 6);

    const QDateTime stamp = QDateTime::fromString(
        log.at(0).toObject().value("timestamp").toString(), "yyyy-MM-dd'T'hh:mm:ss");
    QVERIFY(stamp.isValid());
    QVERIFY(stamp >= before && stamp <= after);
}

void TestCard::usageCounterSaturates()
{
    const KVRTv1Card::Ptr card
        = KVRTv1Card::fromJson(parse(R"({"data": {"usageCounter": 2147483647}})"));
    QCOMPARE(card->usageCounter(), std::numeric_limits<int>::max());
    card->incrUsageCounter(1);
    QCOMPARE(card->usageCounter(), std::numeric_limits<int>::max());

    KVRTv1Card low;
    low.incrUsageCounter(std::numeric_limits<int>::min());
    low.incrUsageCounter(-1);
    QCOMPARE(low.usageCounter(), std::numeric_limits<int>::min());
}

void TestCard::cardFromMalformedJson_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("status");
    QTest::addColumn<int>("customsId");
    QTest::addColumn<int>("usageCounter");
    QTest::addColumn<int>("entries");

    QTest::newRow("empty object") << QByteArray("{}") << QString() << 0 << 0 << 0;
    QTest::newRow("null data") << QByteArray(R"({"data": null})") << QString() << 0 << 0 << 0;
    QTest::newRow("data not an object")
        << QByteArray(R"({"data": [1, 2]})") << QString() << 0 << 0 << 0;
    QTest::newRow("info missing, counter kept")
        << QByteArray(R"({"data": {"usageCounter": 7}})") << QString() << 0 << 7 << 0;
    QTest::newRow("status missing is empty, not available")
        << QByteArray(R"({"data": {"info": {"customsId": 3}}})") << QString() << 3 << 0 << 0;
    QTest::newRow("wrong types") << QByteArray(R"({"uid": 5, "template": {}, "type": "x",
                          "data": {"info": {"customsId": "3", "status": 1},
                                   "usageCounter": true, "usageLog": {"type": "entry"}}})")
                                 << QString() << 0 << 0 << 0;
    QTest::newRow("huge numbers") << QByteArray(
        R"({"type": 1e30, "data": {"info": {"customsId": 1e30, "status": "ok"},
                                                  "usageCounter": -1e30}})")
                                  << "ok" << 0 << 0 << 0;
    QTest::newRow("log elements not objects")
        << QByteArray(R"({"data": {"usageLog": [null, 3, "entry", {"type": "entry"}]}})")
        << QString() << 0 << 0 << 4;
}

void TestCard::cardFromMalformedJson()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, status);
    QFETCH(int, customsId);
    QFETCH(int, usageCounter);
    QFETCH(int, entries);

    QJsonParseError error;
    const QJsonObject object = QJsonDocument::fromJson(json, &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);

    const KVRTv1Card::Ptr card = KVRTv1Card::fromJson(object);
    QVERIFY(card);
    QCOMPARE(card->uid(), QString());
    QCOMPARE(card->name(), QString());
    QCOMPARE(static_cast<int>(card->type()), 0);
    QCOMPARE(card->status(), status);
    QCOMPARE(card->customsId(), customsId);
    QCOMPARE(card->usageCounter(), usageCounter);
    QCOMPARE(card->usageLogs().size(), entries);
    // Whatever was read, the card still writes complete content.
    const QJsonObject data = card->toJson().value("data").toObject();
    QVERIFY(data.contains("info") && data.contains("usageCounter") && data.contains("usageLog"));
}

void TestCard::invalidUsageTimestamp_data()
{
    QTest::addColumn<QJsonValue>("timestamp");

    QTest::newRow("space instead of T") << QJsonValue("2024-05-06 07:08:09");
    QTest::newRow("with zone") << QJsonValue("2024-05-06T07:08:09Z");
    QTest::newRow("month 13") << QJsonValue("2024-13-06T07:08:09");
    QTest::newRow("hour 24") << QJsonValue("2024-05-06T24:08:09");
    QTest::newRow("empty") << QJsonValue("");
    QTest::newRow("number") << QJsonValue(1714979289);
    QTest::newRow("null") << QJsonValue(QJsonValue::Null);
}

void TestCard::invalidUsageTimestamp()
{
    QFETCH(QJsonValue, timestamp);

    KVRTv1Card::Usage usage;
    usage.fromJson(QJsonObject {{"timestamp", timestamp}, {"type", "entry"}});
    QVERIFY(!usage.timestamp.isValid());
    QCOMPARE(usage.type, QStringLiteral("entry"));
    QCOMPARE(usage.toJson().value("timestamp"), QJsonValue(""));
}

void TestCard::versionIsNeitherReadNorKept()
{
    KVRTv1Card card;
    card.setData(parse(R"({"info": {"version": 7, "customsId": 1, "status": "active"}})"));
    QCOMPARE(card.data().value("info").toObject().value("version"), QJsonValue(0));
}

QTEST_GUILESS_MAIN(TestCard)
#include "tst_card.moc"
