#include "Transaction.h"

#include <limits>

namespace {
QJsonObject objectAt(const QJsonObject& json, const QString& key)
{
    return json.value(key).toObject();
}
} // namespace

Transaction::Transaction(QObject* parent)
    : QObject(parent)
{ }

Transaction::Transaction(const QJsonObject& data, QObject* parent)
    : QObject(parent)
    , m_data(data)
{ }

Transaction::~Transaction() = default;

bool Transaction::valid() const
{
    return m_data.value(QStringLiteral("result")).toBool();
}

Transaction::Type Transaction::type() const
{
    return static_cast<Type>(m_data.value(QStringLiteral("type")).toInt());
}

int Transaction::denyReasonId() const
{
    return objectAt(m_data, QStringLiteral("denyReason")).value(QStringLiteral("id")).toInt();
}

QString Transaction::denyReason() const
{
    // Translated on every call so that a language change shows at once.
    switch (denyReasonId()) {
    case 100:
        return tr("The ticket is invalid");
    case 101:
        return tr("The ticket has expired");
    case 102:
        return tr("The ticket is not allowed in this route");
    case 103:
        return tr("The ticket has already been validated");
    case 104:
        return tr("The ticket is not yet active");
    case 105:
        return tr("Please try again");
    case 106:
        return tr("The ticket does not belong to this operator");
    case 107:
        return tr("The ticket has an invalid passenger profile");
    case 108:
        return tr("The ticket is not allowed in this axis");
    case 109:
        return tr("The ticket is not allowed in this zone");
    case 110:
        return tr("The ticket has invalid timestamp");
    case 200:
        return tr("The card is invalid");
    case 201:
        return tr("The card has expired");
    case 202:
        return tr("The card is not allowed in this route");
    case 203:
    case 207:
        return tr("The card has already been validated");
    case 204:
        return tr("The card does not have enough trips");
    case 205:
        return tr("The card does not have sufficient balance");
    case 206:
        return tr("This card can no longer be used");
    case 208:
        return tr("The card is not active");
    case 209:
        return tr("The card does not belong to this operator");
    case 250:
    case 251:
    case 252:
    case 253:
    case 254:
    case 255:
        return tr("The card is blocked");
    case 300:
        return tr("The product is blocked");
    case 301:
        return tr("The product is not yet active");
    case 500:
        return tr("Internal Error");
    default:
        return tr("Unknown Error");
    }
}

QString Transaction::ticketId() const
{
    return m_data.value(QStringLiteral("ticketId")).toString();
}

QString Transaction::fareProduct() const
{
    return m_data.value(QStringLiteral("fareProductName")).toString();
}

QString Transaction::passengerType() const
{
    return m_data.value(QStringLiteral("passengerTypeName")).toString();
}

QVariantMap Transaction::defaultDetails()
{
    return QVariantMap {
        {QStringLiteral("fromStopGroupName"), QString()},
        {QStringLiteral("toStopGroupName"), QString()},
        {QStringLiteral("deducted"), 0.0},
        {QStringLiteral("remaining"), 0.0},
        {QStringLiteral("activationTimestamp"), QDateTime()},
        {QStringLiteral("expires"), QDateTime()},
        {QStringLiteral("transferRemainingMin"), 0},
    };
}

QVariantMap Transaction::details() const
{
    QVariantMap details = defaultDetails();
    const QJsonObject card = objectAt(m_data, QStringLiteral("card"));

    switch (type()) {
    case Barcode: {
        const QJsonObject barcode = objectAt(m_data, QStringLiteral("barcode"));
        details[QStringLiteral("fromStopGroupName")]
            = barcode.value(QStringLiteral("fromStopGroupName")).toString();
        details[QStringLiteral("toStopGroupName")]
            = barcode.value(QStringLiteral("toStopGroupName")).toString();
        details[QStringLiteral("transferRemainingMin")]
            = barcode.value(QStringLiteral("transferRemainingMin")).toInt();
        break;
    }
    case CardEPurse:
    case CardCappingEPurse: {
        const int before = card.value(QStringLiteral("balanceBefore")).toInt();
        const int after = card.value(QStringLiteral("balanceAfter")).toInt();
        // Exact in hundredths; 64 bits because any two ints may be reported.
        details[QStringLiteral("deducted")] = (qint64(before) - qint64(after)) / 100.0;
        details[QStringLiteral("remaining")] = after / 100.0;
        break;
    }
    case CardPeriodPass: {
        const QJsonObject pass = objectAt(card, QStringLiteral("periodPass"));
        const QJsonValue remainingMinutes = pass.value(QStringLiteral("remainingMinutes"));
        // null means the pass counts in days; a missing value is simply 0.
        qint64 minutes = remainingMinutes.isNull()
            ? 1440 * qint64(pass.value(QStringLiteral("remainingDays")).toInt())
            : qint64(remainingMinutes.toInt());
        minutes = qBound<qint64>(std::numeric_limits<int>::min(), minutes,
                                 std::numeric_limits<int>::max());
        details[QStringLiteral("activationTimestamp")]
            = convertTimestamp(pass.value(QStringLiteral("activationTimestamp")).toString());
        details[QStringLiteral("remaining")] = int(minutes);
        details[QStringLiteral("expires")] = QDateTime::currentDateTime().addSecs(minutes * 60);
        break;
    }
    case CardStoredJourneys:
    case CardCappingStoredJourneys:
    case CardTransfer: {
        const QJsonObject journeys = objectAt(card, QStringLiteral("storedJourneys"));
        details[QStringLiteral("activationTimestamp")]
            = convertTimestamp(journeys.value(QStringLiteral("activationTimestamp")).toString());
        details[QStringLiteral("remaining")] = journeys.value(QStringLiteral("after")).toInt();
        details[QStringLiteral("transferRemainingMin")]
            = journeys.value(QStringLiteral("transferRemainingMin")).toInt();
        break;
    }
    case CardTransferEPurse:
        details[QStringLiteral("deducted")] = 0;
        details[QStringLiteral("remaining")]
            = card.value(QStringLiteral("balanceAfter")).toInt() / 100.0;
        details[QStringLiteral("transferRemainingMin")]
            = objectAt(card, QStringLiteral("ePurse"))
                  .value(QStringLiteral("transferRemainingMin"))
                  .toInt();
        break;
    default:
        break;
    }
    return details;
}

QVariantMap Transaction::ticket() const
{
    return {};
}

QVariantMap Transaction::toMap() const
{
    return QVariantMap {
        {QStringLiteral("valid"), valid()},
        {QStringLiteral("type"), static_cast<int>(type())},
        {QStringLiteral("denyReason"), denyReason()},
        {QStringLiteral("denyReasonId"), denyReasonId()},
        {QStringLiteral("fareProduct"), fareProduct()},
        // Spelt as the screens read it.
        {QStringLiteral("passengeType"), passengerType()},
        {QStringLiteral("details"), details()},
    };
}

QDateTime Transaction::convertTimestamp(const QString& text)
{
    // "yyyy-MM-ddTHH:mm:ssZ" in UTC, every field exactly its digits. The fields go straight into
    // a UTC date-time: parsing them as local time first would make the hour that local time
    // skips in spring invalid.
    static const QString pattern = QStringLiteral("dddd-dd-ddTdd:dd:ddZ");
    if (text.size() != pattern.size())
        return {};
    for (int i = 0; i < pattern.size(); ++i) {
        const QChar c = text.at(i);
        if (pattern.at(i) == QLatin1Char('d') ? !(c >= QLatin1Char('0') && c <= QLatin1Char('9'))
                                              : c != pattern.at(i))
            return {};
    }
    const auto field = [&text](int from, int length) { return text.midRef(from, length).toInt(); };
    const QDate date(field(0, 4), field(5, 2), field(8, 2));
    const QTime time(field(11, 2), field(14, 2), field(17, 2));
    if (!date.isValid() || !time.isValid())
        return {};
    return QDateTime(date, time, Qt::UTC).toLocalTime();
}
