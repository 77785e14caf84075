#include "TableRows.h"
#include "Transaction.h"

#include <QTranslator>

#include <time.h>

namespace {
// Translates one text of one context only, so that a wrong context or text shows as English.
class BlockedTranslator : public QTranslator
{
public:
    QString translate(const char* context, const char* text, const char*, int) const override
    {
        const bool blocked
            = QByteArray(context) == "Transaction" && QByteArray(text) == "The card is blocked";
        return blocked ? QStringLiteral("Η κάρτα είναι μπλοκαρισμένη") : QString();
    }
    bool isEmpty() const override { return false; }
};
} // namespace

class TestTransaction : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        // A zone with daylight saving time, so that the spring-forward hour is exercised.
        qputenv("TZ", "EET-2EEST,M3.5.0/3,M10.5.0/4");
        tzset();
    }

    // The summary QML reads, as changes to that of an empty transaction.
    void summary_data()
    {
        addJsonRows({"json", "changes"}, R"([
["empty", {}, {}],
["refused", {"result": false, "type": 5, "ticketId": "T-7", "fareProductName": "10 trips", "passengerTypeName": "Student", "denyReason": {"id": 204}},
    {"type": 5, "fareProduct": "10 trips", "passengeType": "Student", "denyReasonId": 204, "denyReason": "The card does not have enough trips"}],
["wrong types", {"result": "true", "type": "5", "ticketId": 77, "fareProductName": null, "passengerTypeName": [], "denyReason": 204}, {}],
["accepted", {"result": true}, {"valid": true}]])");
        for (const QString& row : QString("100 The ticket is invalid,110 The ticket has invalid "
                                          "timestamp,111 Unknown Error,203 The card has already "
                                          "been validated,207 The card has already been validated,"
                                          "209 The card does not belong to this operator,250 The "
                                          "card is blocked,255 The card is blocked,256 Unknown "
                                          "Error,301 The product is not yet active,500 Internal "
                                          "Error,253.5 Unknown Error")
                                      .split(',')) {
            const double id = row.section(' ', 0, 0).toDouble();
            QTest::newRow(qPrintable(row))
                << QJsonValue(QJsonObject {{"denyReason", QJsonObject {{"id", id}}}})
                << QJsonValue(QJsonObject {{"denyReasonId", int(id) == id ? id : 0},
                                           {"denyReason", row.section(' ', 1)}});
        }
    }
    void summary()
    {
        QFETCH(QJsonValue, json);
        QFETCH(QJsonValue, changes);
        const Transaction transaction(json.toObject());
        QVariantMap expected = changed({{"valid", false},
                                        {"type", 0},
                                        {"denyReasonId", 0},
                                        {"denyReason", "Unknown Error"},
                                        {"fareProduct", ""},
                                        {"passengeType", ""}},
                                       changes.toObject())
                                   .toVariantMap();
        expected.insert("details", transaction.details());
        QCOMPARE(transaction.toMap(), expected);
        QCOMPARE(transaction.property("passengerType"), expected.value("passengeType"));
        QCOMPARE(transaction.property("ticketId").toString(), json["ticketId"].toString());
        QVERIFY(transaction.property("ticket").toMap().isEmpty());
    }

    // What the screens show of each product, as changes to the default details; times in UTC.
    void details_data()
    {
        addJsonRows({"json", "changes"}, R"([
["empty", {}, {}],
["e-purse", {"type": 2, "card": {"balanceBefore": 1050, "balanceAfter": 900}}, {"deducted": 1.5, "remaining": 9}],
["capping e-purse", {"type": 15, "card": {"balanceBefore": 205, "balanceAfter": 5}}, {"deducted": 2, "remaining": 0.05}],
["balances beyond an int", {"type": 2, "card": {"balanceBefore": 2147483647,
    "balanceAfter": -2147483648}}, {"deducted": 42949672.95, "remaining": -21474836.48}],
["balances not numbers", {"type": 2, "card": {"balanceBefore": "9", "balanceAfter": null}}, {}],
["transfer e-purse", {"type": 14, "card": {"balanceAfter": 750, "balanceBefore": 900,
    "ePurse": {"transferRemainingMin": 25}}}, {"remaining": 7.5, "transferRemainingMin": 25}],
["barcode", {"type": 0, "barcode": {"fromStopGroupName": "Port", "toStopGroupName": "Square", "transferRemainingMin": 60}, "card": {"balanceAfter": 100}},
    {"fromStopGroupName": "Port", "toStopGroupName": "Square", "transferRemainingMin": 60}],
["stored journeys", {"type": 5, "card": {"storedJourneys": {"after": 4, "transferRemainingMin": 45,
    "activationTimestamp": "2024-06-01T10:15:30Z"}, "periodPass": {"remainingMinutes": 9}}},
    {"remaining": 4, "transferRemainingMin": 45, "activationTimestamp": "2024-06-01T10:15:30Z"}],
["capping journeys", {"type": 16, "card": {"storedJourneys": {"after": 2}}}, {"remaining": 2}],
["transfer", {"type": 12, "card": {"storedJourneys": {"transferRemainingMin": 5}}}, {"transferRemainingMin": 5}],
["spring-forward hour", {"type": 5, "card": {"storedJourneys": {"activationTimestamp":
    "2024-03-31T03:30:00Z"}}}, {"activationTimestamp": "2024-03-31T03:30:00Z"}],
["space for T", {"type": 5, "card": {"storedJourneys": {"activationTimestamp": "2024-01-15 08:00:00Z"}}}, {}],
["no Z", {"type": 5, "card": {"storedJourneys": {"activationTimestamp": "2024-01-15T08:00:00"}}}, {}],
["sign in a field", {"type": 5, "card": {"storedJourneys": {"activationTimestamp": "2024-01-+5T08:00:00Z"}}}, {}],
["february 30", {"type": 5, "card": {"storedJourneys": {"activationTimestamp": "2024-02-30T08:00:00Z"}}}, {}],
["hour 24", {"type": 5, "card": {"storedJourneys": {"activationTimestamp": "2024-01-15T24:00:00Z"}}}, {}],
["pass", {"type": 8, "card": {"periodPass": {"remainingMinutes": 90, "remainingDays": 5, "activationTimestamp": "2024-01-15T08:00:00Z"}}},
    {"remaining": 90, "activationTimestamp": "2024-01-15T08:00:00Z"}],
["pass in days", {"type": 8, "card": {"periodPass": {"remainingMinutes": null, "remainingDays": 2}}}, {"remaining": 2880}],
["pass without minutes", {"type": 8, "card": {"periodPass": {"remainingDays": 2}}}, {}],
["pass beyond", {"type": 8, "card": {"periodPass": {"remainingMinutes": null, "remainingDays": 2000000}}}, {"remaining": 2147483647}],
["EMV", {"type": 10, "card": {"balanceBefore": 9, "storedJourneys": {"after": 4}}}, {}]])");
    }
    void details()
    {
        QFETCH(QJsonValue, json);
        QFETCH(QJsonValue, changes);
        const QDateTime before = QDateTime::currentDateTime();
        const QVariantMap details = Transaction(json.toObject()).details();
        const QDateTime after = QDateTime::currentDateTime();
        QJsonObject shown;
        for (auto it = details.cbegin(); it != details.cend(); ++it) {
            const QDateTime time = it.value().toDateTime();
            QVERIFY(!time.isValid() || time.timeSpec() == Qt::LocalTime);
            shown.insert(it.key(),
                         it.value().userType() != QMetaType::QDateTime
                             ? QJsonValue::fromVariant(it.value())
                             : time.isValid() ? QJsonValue(time.toUTC().toString(Qt::ISODate))
                                              : QJsonValue());
        }
        // A pass expires its remaining minutes from now, not from activation.
        const qint64 secs = details.value("remaining").toInt() * qint64(60);
        const QDateTime expires = details.value("expires").toDateTime();
        QCOMPARE(expires.isValid(), json["type"].toInt() == Transaction::CardPeriodPass);
        QVERIFY(!expires.isValid()
                || (expires >= before.addSecs(secs) && expires <= after.addSecs(secs)));
        shown.remove("expires");
        QCOMPARE(shown,
                 changed({{"fromStopGroupName", ""},
                          {"toStopGroupName", ""},
                          {"deducted", 0},
                          {"remaining", 0},
                          {"activationTimestamp", QJsonValue()},
                          {"transferRemainingMin", 0}},
                         changes.toObject()));
    }

    void denyReasonFollowsLanguage()
    {
        const Transaction blocked(QJsonObject {{"denyReason", QJsonObject {{"id", 252}}}});
        const Transaction expired(QJsonObject {{"denyReason", QJsonObject {{"id", 201}}}});
        BlockedTranslator translator;
        QVERIFY(QCoreApplication::installTranslator(&translator));
        const QString translated = blocked.denyReason();
        const QString untranslated = expired.denyReason();
        QCoreApplication::removeTranslator(&translator);
        QCOMPARE(translated, QStringLiteral("Η κάρτα είναι μπλοκαρισμένη"));
        QCOMPARE(untranslated, QStringLiteral("The card has expired"));
        QCOMPARE(blocked.denyReason(), QStringLiteral("The card is blocked"));
    }
};

QTEST_GUILESS_MAIN(TestTransaction)
#include "tst_transaction.moc"
