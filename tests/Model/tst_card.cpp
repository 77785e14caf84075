#include "KVRTv1Card.h"
#include "TableRows.h"

#include <limits>

namespace {
// A card of a template whose content happens to be empty.
struct EmptyCard : Card
{
    using Card::Card;
    QJsonObject data() const override { return {}; }
    void setData(const QJsonObject&) override { }
};
} // namespace

class TestCard : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // A card object as the reader reports it, and what reading it gives beyond reading {}.
    void readCard_data()
    {
        addJsonRows({"json", "changes"}, R"([
["issued card", {"uid": "04AB", "type": 4, "template": "KVRTv1", "data": {"info": {"version": 7,
    "customsId": 1, "status": "active"}, "usageCounter": 2, "usageLog": [{"type": "entry"}, {"timestamp": "2024-05-06T07:08:09", "type": "exit"}]}},
    {"uid": "04AB", "type": 4, "typeName": "MIFARE Classic 1K", "name": "KVRTv1", "status": "active",
    "customsId": 1, "usageCounter": 2, "entries": 2, "last": "exit", "lastTime": "2024-05-06T07:08:09"}],
["data an array", {"data": [1]}, {}],
["status missing is empty", {"data": {"info": {"customsId": 3}}}, {"customsId": 3}],
["wrong types", {"uid": 5, "type": "4", "template": {}, "data": {"info": {"customsId": "3",
    "status": 1}, "usageCounter": true, "usageLog": {"type": "x"}}}, {}],
["combined bits", {"uid": "A", "type": 3}, {"uid": "A", "type": 3}],
["other technology", {"type": 32768}, {"type": 32768, "typeName": "Other"}],
["log elements not objects", {"data": {"usageLog": [3, {}]}}, {"entries": 2, "last": "", "lastTime": ""}],
["time with a zone", {"data": {"usageLog": [{"timestamp": "2024-05-06T07:08:09Z"}]}}, {"entries": 1, "last": "", "lastTime": ""}]])");
    }
    void readCard()
    {
        QFETCH(QJsonValue, json);
        QFETCH(QJsonValue, changes);
        const KVRTv1Card::Ptr card = KVRTv1Card::fromJson(json.toObject());
        const KVRTv1Card::Usage* last = card->lastUsage();
        const QJsonObject read {
            {"uid", card->uid()},
            {"type", card->type()},
            {"typeName", Tag::typeToStr(card->type())},
            {"name", card->name()},
            {"status", card->status()},
            {"customsId", card->customsId()},
            {"usageCounter", card->usageCounter()},
            {"entries", card->usageLogs().size()},
            {"last", last ? QJsonValue(last->type) : QJsonValue()},
            {"lastTime", last ? last->toJson().value("timestamp") : QJsonValue()}};
        const QJsonObject expected = changed(QJsonDocument::fromJson(R"({"uid": "", "type": 0,
            "name": "", "typeName": "Unknown", "status": "", "customsId": 0, "usageCounter": 0,
            "entries": 0, "last": null, "lastTime": null})")
                                                 .object(),
                                             changes.toObject());
        QVERIFY2(read == expected, QJsonDocument(read).toJson(QJsonDocument::Compact));
        QCOMPARE(Tag::fromJson(json.toObject())->toJson(),
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
        QCOMPARE(card.status(), QStringLiteral("available"));
        card.setCustomsId(1);
        card.setStatus(QStringLiteral("active"));
        card.incrUsageCounter(1);
        KVRTv1Card::Usage entry;
        entry.fromJson({{"type", "entry"}, {"deviceId", "DEV-7"}, {"locationId", "gate"}});
        entry.timestamp = QDateTime(QDate(2024, 11, 3), QTime(21, 5, 9, 450));
        entry.usageCounter = card.usageCounter();
        card.addUsageLog(entry);
        QVERIFY(!card.lastUsage());
        const QJsonObject expected = QJsonDocument::fromJson(R"({"uid": "", "type": 0,
            "template": "KVRTv1", "data": {"info": {"version": 0, "customsId": 1, "status": "active"},
            "usageCounter": 1, "usageLog": [{"timestamp": "2024-11-03T21:05:09", "type": "entry",
            "usageCounter": 1, "deviceId": "DEV-7", "locationId": "gate"}]}})")
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

        QCOMPARE(
            EmptyCard(QStringLiteral("01"), Tag::EMV).toJson(),
            QJsonDocument::fromJson(R"({"uid": "01", "type": 512, "template": "", "data": null})")
                .object());
    }
};

QTEST_GUILESS_MAIN(TestCard)
#include "tst_card.moc"
