#include "Transaction.h"

#include <QJsonDocument>
#include <QTranslator>
#include <QtTest>

#include <limits>
#include <time.h>

namespace {
QJsonObject parse(const QByteArray& text)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError)
        qFatal("bad test JSON: %s", qPrintable(error.errorString()));
    return doc.object();
}

// Answers for one context and source text only, so a wrong context or text shows as English.
class RecordingTranslator : public QTranslator
{
public:
    QString translate(const char* context, const char* sourceText, const char* = nullptr,
                      int = -1) const override
    {
        if (QByteArray(context) == "Transaction" && QByteArray(sourceText) == "The card is blocked")
            return QStringLiteral("Η κάρτα είναι στην λίστα μη αποδεκτών καρτών");
        return QString();
    }
    bool isEmpty() const override { return false; }
};
} // namespace

class TestTransaction : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();

    void emptyTransaction();
    void summaryFields();
    void propertiesForQml();
    void toMapKeys_data();
    void toMapKeys();

    void purseAmounts_data();
    void purseAmounts();
    void periodPass_data();
    void periodPass();
    void storedJourneys_data();
    void storedJourneys();
    void barcodeDetails();
    void typesWithoutDetails_data();
    void typesWithoutDetails();

    void denyReasons_data();
    void denyReasons();
    void denyReasonFollowsLanguage();

    void timestamps_data();
    void timestamps();
};

void TestTransaction::initTestCase()
{
    // A zone with daylight saving time, so that the spring-forward hour is exercised.
    qputenv("TZ", "EET-2EEST,M3.5.0/3,M10.5.0/4");
    tzset();
}

void TestTransaction::emptyTransaction()
{
    const Transaction transaction;
    QVERIFY(!transaction.valid());
    QCOMPARE(transaction.type(), Transaction::Barcode);
    QCOMPARE(transaction.denyReasonId(), 0);
    QCOMPARE(transaction.denyReason(), QStringLiteral("Unknown Error"));
    QCOMPARE(transaction.ticketId(), QString());
    QCOMPARE(transaction.fareProduct(), QString());
    QCOMPARE(transaction.passengerType(), QString());
    QCOMPARE(transaction.details(), Transaction::defaultDetails());
    QVERIFY(transaction.ticket().isEmpty());

    const QVariantMap defaults = Transaction::defaultDetails();
    QCOMPARE(defaults.size(), 7);
    QCOMPARE(defaults.value("fromStopGroupName"), QVariant(QString()));
    QCOMPARE(defaults.value("toStopGroupName"), QVariant(QString()));
    QCOMPARE(defaults.value("deducted"), QVariant(0.0));
    QCOMPARE(defaults.value("remaining"), QVariant(0.0));
    QVERIFY(!defaults.value("activationTimestamp").toDateTime().isValid());
    QVERIFY(!defaults.value("expires").toDateTime().isValid());
    QCOMPARE(defaults.value("transferRemainingMin"), QVariant(0));
}

void TestTransaction::summaryFields()
{
    const Transaction transaction(parse(R"({"result": true, "type": 5, "ticketId": "T-77",
        "fareProductName": "10 trips", "passengerTypeName": "Student",
        "denyReason": {"id": 204}})"));
    QVERIFY(transaction.valid());
    QCOMPARE(transaction.type(), Transaction::CardStoredJourneys);
    QCOMPARE(transaction.ticketId(), QStringLiteral("T-77"));
    QCOMPARE(transaction.fareProduct(), QStringLiteral("10 trips"));
    QCOMPARE(transaction.passengerType(), QStringLiteral("Student"));
    QCOMPARE(transaction.denyReasonId(), 204);
    QCOMPARE(transaction.denyReason(), QStringLiteral("The card does not have enough trips"));
    QCOMPARE(transaction.data().value("ticketId").toString(), QStringLiteral("T-77"));

    // Malformed values read as false, 0 or empty text.
    const Transaction malformed(parse(R"({"result": "true", "type": "5", "ticketId": 77,
        "fareProductName": null, "passengerTypeName": [], "denyReason": 204,
        "card": "none", "barcode": 3})"));
    QVERIFY(!malformed.valid());
    QCOMPARE(malformed.type(), Transaction::Barcode);
    QCOMPARE(malformed.ticketId(), QString());
    QCOMPARE(malformed.fareProduct(), QString());
    QCOMPARE(malformed.passengerType(), QString());
    QCOMPARE(malformed.denyReasonId(), 0);
    QCOMPARE(malformed.details(), Transaction::defaultDetails());
}

void TestTransaction::propertiesForQml()
{
    const Transaction transaction(parse(R"({"result": true, "type": 8, "ticketId": "X",
        "passengerTypeName": "Adult", "card": {"periodPass": {"remainingMinutes": 30}}})"));
    QCOMPARE(transaction.property("valid"), QVariant(true));
    QCOMPARE(transaction.property("type").toInt(), 8);
    QCOMPARE(transaction.property("denyReasonId"), QVariant(0));
    QCOMPARE(transaction.property("denyReason"), QVariant("Unknown Error"));
    QCOMPARE(transaction.property("ticketId"), QVariant("X"));
    QCOMPARE(transaction.property("passengerType"), QVariant("Adult"));
    QCOMPARE(transaction.property("details").toMap().value("remaining"), QVariant(30));
    QVERIFY(transaction.property("ticket").toMap().isEmpty());
}

void TestTransaction::toMapKeys_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::newRow("empty") << QByteArray("{}");
    QTest::newRow("refused card") << QByteArray(R"({"result": false, "type": 2, "ticketId": "9",
        "passengerTypeName": "Adult", "denyReason": {"id": 205}})");
    QTest::newRow("accepted barcode") << QByteArray(R"({"result": true, "type": 0,
        "fareProductName": "Single", "barcode": {"fromStopGroupName": "A"}})");
}

void TestTransaction::toMapKeys()
{
    QFETCH(QByteArray, json);
    const Transaction transaction(parse(json));
    const QVariantMap map = transaction.toMap();

    QStringList keys = map.keys();
    keys.sort();
    QCOMPARE(keys,
             QStringList({"denyReason", "denyReasonId", "details", "fareProduct", "passengeType",
                          "type", "valid"}));
    QCOMPARE(map.value("valid"), QVariant(transaction.valid()));
    QCOMPARE(map.value("type"), QVariant(int(transaction.type())));
    QCOMPARE(map.value("denyReason"), QVariant(transaction.denyReason()));
    QCOMPARE(map.value("denyReasonId"), QVariant(transaction.denyReasonId()));
    QCOMPARE(map.value("fareProduct"), QVariant(transaction.fareProduct()));
    QCOMPARE(map.value("passengeType"), QVariant(transaction.passengerType()));
    QCOMPARE(map.value("details"), QVariant(transaction.details()));
}

void TestTransaction::purseAmounts_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QVariant>("deducted");
    QTest::addColumn<QVariant>("remaining");
    QTest::addColumn<int>("transferRemainingMin");

    QTest::newRow("e-purse") << QByteArray(R"({"result": true, "type": 2,
                          "card": {"balanceBefore": 1050, "balanceAfter": 900}})")
                             << QVariant(1.5) << QVariant(9.0) << 0;
    QTest::newRow("capping e-purse")
        << QByteArray(R"({"type": 15, "card": {"balanceBefore": 205, "balanceAfter": 5}})")
        << QVariant(2.0) << QVariant(0.05) << 0;
    QTest::newRow("balance missing") << QByteArray(R"({"type": 2, "card": {"balanceBefore": 120}})")
                                     << QVariant(1.2) << QVariant(0.0) << 0;
    QTest::newRow("balances not numbers")
        << QByteArray(R"({"type": 2, "card": {"balanceBefore": "1050", "balanceAfter": null}})")
        << QVariant(0.0) << QVariant(0.0) << 0;
    // The difference of two ints need not fit in an int.
    QTest::newRow("extreme balances") << QByteArray(R"({"type": 2,
                          "card": {"balanceBefore": 2147483647, "balanceAfter": -2147483648}})")
                                      << QVariant(42949672.95) << QVariant(-21474836.48) << 0;
    QTest::newRow("transfer e-purse")
        << QByteArray(R"({"type": 14, "card": {"balanceBefore": 1000, "balanceAfter": 750,
                          "ePurse": {"transferRemainingMin": 25}}})")
        << QVariant(0) << QVariant(7.5) << 25;
}

void TestTransaction::purseAmounts()
{
    QFETCH(QByteArray, json);
    QFETCH(QVariant, deducted);
    QFETCH(QVariant, remaining);
    QFETCH(int, transferRemainingMin);

    const QVariantMap details = Transaction(parse(json)).details();
    QCOMPARE(details.value("deducted").userType(), deducted.userType());
    QCOMPARE(details.value("deducted").toDouble(), deducted.toDouble());
    QCOMPARE(details.value("remaining").userType(), remaining.userType());
    QCOMPARE(details.value("remaining").toDouble(), remaining.toDouble());
    QCOMPARE(details.value("transferRemainingMin"), QVariant(transferRemainingMin));
    QVERIFY(!details.value("expires").toDateTime().isValid());
}

void TestTransaction::periodPass_data()
{
    QTest::addColumn<QByteArray>("pass");
    QTest::addColumn<int>("minutes");

    QTest::newRow("minutes") << QByteArray(R"({"remainingMinutes": 90, "remainingDays": 5})") << 90;
    QTest::newRow("null minutes count days")
        << QByteArray(R"({"remainingMinutes": null, "remainingDays": 2})") << 2880;
    QTest::newRow("missing minutes are zero") << QByteArray(R"({"remainingDays": 2})") << 0;
    QTest::newRow("null minutes, no days") << QByteArray(R"({"remainingMinutes": null})") << 0;
    QTest::newRow("minutes not a number")
        << QByteArray(R"({"remainingMinutes": "90", "remainingDays": 2})") << 0;
    QTest::newRow("days beyond the minute range")
        << QByteArray(R"({"remainingMinutes": null, "remainingDays": 2000000})")
        << std::numeric_limits<int>::max();
    QTest::newRow("negative days beyond the minute range")
        << QByteArray(R"({"remainingMinutes": null, "remainingDays": -2000000})")
        << std::numeric_limits<int>::min();
    QTest::newRow("huge minutes") << QByteArray(R"({"remainingMinutes": 1e40})") << 0;
}

void TestTransaction::periodPass()
{
    QFETCH(QByteArray, pass);
    QFETCH(int, minutes);

    QJsonObject json = parse(R"({"result": true, "type": 8})");
    json.insert("card", QJsonObject {{"periodPass", parse(pass)}});

    const QDateTime before = QDateTime::currentDateTime();
    const QVariantMap details = Transaction(json).details();
    const QDateTime after = QDateTime::currentDateTime();

    QCOMPARE(details.value("remaining").userType(), int(QMetaType::Int));
    QCOMPARE(details.value("remaining").toInt(), minutes);
    // Counted from now, not from activation.
    const QDateTime expires = details.value("expires").toDateTime();
    QVERIFY(expires.isValid());
    QVERIFY(expires >= before.addSecs(qint64(minutes) * 60));
    QVERIFY(expires <= after.addSecs(qint64(minutes) * 60));
    QCOMPARE(details.value("deducted"), QVariant(0.0));
}

void TestTransaction::storedJourneys_data()
{
    QTest::addColumn<int>("type");
    QTest::newRow("stored journeys") << 5;
    QTest::newRow("capping stored journeys") << 16;
    QTest::newRow("transfer") << 12;
}

void TestTransaction::storedJourneys()
{
    QFETCH(int, type);
    QJsonObject json = parse(R"({"card": {"storedJourneys": {
        "activationTimestamp": "2024-06-01T10:15:30Z", "after": 4, "transferRemainingMin": 45},
        "periodPass": {"remainingMinutes": 10}, "balanceAfter": 100}})");
    json.insert("type", type);

    const QVariantMap details = Transaction(json).details();
    QCOMPARE(details.value("remaining"), QVariant(4));
    QCOMPARE(details.value("transferRemainingMin"), QVariant(45));
    QCOMPARE(details.value("activationTimestamp").toDateTime(),
             QDateTime(QDate(2024, 6, 1), QTime(10, 15, 30), Qt::UTC));
    QCOMPARE(details.value("activationTimestamp").toDateTime().timeSpec(), Qt::LocalTime);
    QVERIFY(!details.value("expires").toDateTime().isValid());
    QCOMPARE(details.value("deducted"), QVariant(0.0));
}

void TestTransaction::barcodeDetails()
{
    const QVariantMap details = Transaction(parse(R"({"type": 0, "barcode": {
        "fromStopGroupName": "Syntagma", "toStopGroupName": "Piraeus",
        "transferRemainingMin": 60}, "card": {"balanceAfter": 500}})"))
                                    .details();
    QVariantMap expected = Transaction::defaultDetails();
    expected["fromStopGroupName"] = QStringLiteral("Syntagma");
    expected["toStopGroupName"] = QStringLiteral("Piraeus");
    expected["transferRemainingMin"] = 60;
    QCOMPARE(details, expected);
}

void TestTransaction::typesWithoutDetails_data()
{
    QTest::addColumn<int>("type");
    QTest::newRow("EMV") << 10;
    QTest::newRow("passenger type update") << 13;
    QTest::newRow("unknown") << 99;
    QTest::newRow("negative") << -3;
}

void TestTransaction::typesWithoutDetails()
{
    QFETCH(int, type);
    QJsonObject json = parse(R"({"result": true, "card": {"balanceBefore": 900,
        "balanceAfter": 100, "periodPass": {"remainingMinutes": 5},
        "storedJourneys": {"after": 3}}})");
    json.insert("type", type);
    const Transaction transaction(json);
    QCOMPARE(int(transaction.type()), type);
    QCOMPARE(transaction.details(), Transaction::defaultDetails());
    QCOMPARE(transaction.toMap().value("type"), QVariant(type));
}

void TestTransaction::denyReasons_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<int>("id");
    QTest::addColumn<QString>("text");

    const QList<QPair<int, QString>> table {
        {100, "The ticket is invalid"},
        {101, "The ticket has expired"},
        {102, "The ticket is not allowed in this route"},
        {103, "The ticket has already been validated"},
        {104, "The ticket is not yet active"},
        {105, "Please try again"},
        {106, "The ticket does not belong to this operator"},
        {107, "The ticket has an invalid passenger profile"},
        {108, "The ticket is not allowed in this axis"},
        {109, "The ticket is not allowed in this zone"},
        {110, "The ticket has invalid timestamp"},
        {200, "The card is invalid"},
        {201, "The card has expired"},
        {202, "The card is not allowed in this route"},
        {203, "The card has already been validated"},
        {204, "The card does not have enough trips"},
        {205, "The card does not have sufficient balance"},
        {206, "This card can no longer be used"},
        {207, "The card has already been validated"},
        {208, "The card is not active"},
        {209, "The card does not belong to this operator"},
        {250, "The card is blocked"},
        {251, "The card is blocked"},
        {252, "The card is blocked"},
        {253, "The card is blocked"},
        {254, "The card is blocked"},
        {255, "The card is blocked"},
        {300, "The product is blocked"},
        {301, "The product is not yet active"},
        {500, "Internal Error"},
        {111, "Unknown Error"},
        {249, "Unknown Error"},
        {256, "Unknown Error"},
        {0, "Unknown Error"},
        {-100, "Unknown Error"},
    };
    for (const auto& row : table) {
        QTest::addRow("%d", row.first)
            << QByteArray("{\"denyReason\": {\"id\": " + QByteArray::number(row.first) + "}}")
            << row.first << row.second;
    }
    QTest::newRow("missing") << QByteArray("{}") << 0 << "Unknown Error";
    QTest::newRow("id missing") << QByteArray(R"({"denyReason": {}})") << 0 << "Unknown Error";
    QTest::newRow("id as text") << QByteArray(R"({"denyReason": {"id": "253"}})") << 0
                                << "Unknown Error";
    QTest::newRow("id fractional")
        << QByteArray(R"({"denyReason": {"id": 253.5}})") << 0 << "Unknown Error";
    QTest::newRow("id huge") << QByteArray(R"({"denyReason": {"id": 1e19}})") << 0
                             << "Unknown Error";
}

void TestTransaction::denyReasons()
{
    QFETCH(QByteArray, json);
    QFETCH(int, id);
    QFETCH(QString, text);

    const Transaction transaction(parse(json));
    QCOMPARE(transaction.denyReasonId(), id);
    QCOMPARE(transaction.denyReason(), text);
}

void TestTransaction::denyReasonFollowsLanguage()
{
    const Transaction blocked(parse(R"({"denyReason": {"id": 252}})"));
    const Transaction expired(parse(R"({"denyReason": {"id": 201}})"));
    QCOMPARE(blocked.denyReason(), QStringLiteral("The card is blocked"));

    RecordingTranslator translator;
    QVERIFY(QCoreApplication::installTranslator(&translator));
    const QString translated = blocked.denyReason();
    const QString untranslated = expired.denyReason();
    const QVariant mapped = blocked.toMap().value("denyReason");
    QCoreApplication::removeTranslator(&translator);

    QCOMPARE(translated, QStringLiteral("Η κάρτα είναι στην λίστα μη αποδεκτών καρτών"));
    QCOMPARE(mapped, QVariant(translated));
    QCOMPARE(untranslated, QStringLiteral("The card has expired"));
    QCOMPARE(blocked.denyReason(), QStringLiteral("The card is blocked"));
}

void TestTransaction::timestamps_data()
{
    QTest::addColumn<QJsonValue>("timestamp");
    QTest::addColumn<QDateTime>("utc");

    QTest::newRow("winter") << QJsonValue("2024-01-15T08:00:00Z")
                            << QDateTime(QDate(2024, 1, 15), QTime(8, 0), Qt::UTC);
    QTest::newRow("summer") << QJsonValue("2024-07-15T23:59:59Z")
                            << QDateTime(QDate(2024, 7, 15), QTime(23, 59, 59), Qt::UTC);
    // 03:30 does not exist on the local clock that day, but as UTC it is an ordinary instant.
    QTest::newRow("local spring-forward hour")
        << QJsonValue("2024-03-31T03:30:00Z")
        << QDateTime(QDate(2024, 3, 31), QTime(3, 30), Qt::UTC);
    QTest::newRow("local fall-back hour") << QJsonValue("2024-10-27T03:30:00Z")
                                          << QDateTime(QDate(2024, 10, 27), QTime(3, 30), Qt::UTC);
    QTest::newRow("space instead of T") << QJsonValue("2024-01-15 08:00:00Z") << QDateTime();
    QTest::newRow("no trailing Z") << QJsonValue("2024-01-15T08:00:00") << QDateTime();
    QTest::newRow("zone offset") << QJsonValue("2024-01-15T08:00:00+02:00") << QDateTime();
    QTest::newRow("milliseconds") << QJsonValue("2024-01-15T08:00:00.000Z") << QDateTime();
    QTest::newRow("month 13") << QJsonValue("2024-13-15T08:00:00Z") << QDateTime();
    QTest::newRow("february 30") << QJsonValue("2024-02-30T08:00:00Z") << QDateTime();
    QTest::newRow("hour 24") << QJsonValue("2024-01-15T24:00:00Z") << QDateTime();
    QTest::newRow("short fields") << QJsonValue("2024-1-15T8:00:00Z  ") << QDateTime();
    QTest::newRow("signs in fields") << QJsonValue("2024-01-+5T08:00:00Z") << QDateTime();
    QTest::newRow("empty") << QJsonValue("") << QDateTime();
    QTest::newRow("number") << QJsonValue(1705305600) << QDateTime();
    QTest::newRow("null") << QJsonValue(QJsonValue::Null) << QDateTime();
}

void TestTransaction::timestamps()
{
    QFETCH(QJsonValue, timestamp);
    QFETCH(QDateTime, utc);

    QJsonObject pass {{"activationTimestamp", timestamp}, {"remainingMinutes", 1}};
    QJsonObject journeys {{"activationTimestamp", timestamp}};
    const QJsonObject card {{"periodPass", pass}, {"storedJourneys", journeys}};

    for (int type : {int(Transaction::CardPeriodPass), int(Transaction::CardStoredJourneys)}) {
        const QJsonObject json {{"type", type}, {"card", card}};
        const QDateTime converted
            = Transaction(json).details().value("activationTimestamp").toDateTime();
        if (!utc.isValid()) {
            QVERIFY(!converted.isValid());
            continue;
        }
        QVERIFY(converted.isValid());
        QCOMPARE(converted.timeSpec(), Qt::LocalTime);
        QCOMPARE(converted.toUTC(), utc);
    }
}

QTEST_GUILESS_MAIN(TestTransaction)
#include "tst_transaction.moc"
