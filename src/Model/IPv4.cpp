#include "IPv4.h"

#include <QDebug>
#include <QHostAddress>
#include <QRegularExpression>

#include <algorithm>

namespace {

// One to three decimal digits: a group of a dotted address.
bool isGroup(const QStringRef& text)
{
    return !text.isEmpty() && text.size() <= 3
        && std::all_of(text.cbegin(), text.cend(),
                       [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); });
}

} // namespace

const QStringList IPv4::Keys {QStringLiteral("address"), QStringLiteral("netmask"),
                              QStringLiteral("gateway"), QStringLiteral("dns0"),
                              QStringLiteral("dns1")};

IPv4::IPv4(QObject* parent)
    : QObject(parent)
{ }

void IPv4::setText(const QString& key, const QString& value, void (IPv4::*notify)())
{
    // The entry is created empty when absent, so a map that has been written to
    // always holds the key.
    QVariant& stored = m_data[key];
    if (!stored.isValid())
        stored = QString();
    if (stored.toString() == value)
        return;
    stored = value;
    Q_EMIT(this->*notify)();
}

void IPv4::setAddress(const QString& value)
{
    setText(QStringLiteral("address"), value, &IPv4::addressChanged);
}

void IPv4::setMask(const QString& value)
{
    setText(QStringLiteral("netmask"), value, &IPv4::maskChanged);
}

void IPv4::setGateway(const QString& value)
{
    setText(QStringLiteral("gateway"), value, &IPv4::gatewayChanged);
}

void IPv4::setDns0(const QString& value)
{
    setText(QStringLiteral("dns0"), value, &IPv4::dns0Changed);
}

void IPv4::setDns1(const QString& value)
{
    setText(QStringLiteral("dns1"), value, &IPv4::dns1Changed);
}

void IPv4::fromMap(const QVariantMap& map)
{
    setAddress(map.value(QStringLiteral("address")).toString());
    setMask(map.value(QStringLiteral("netmask")).toString());
    setGateway(map.value(QStringLiteral("gateway")).toString());
    setDns0(map.value(QStringLiteral("dns0")).toString());
    setDns1(map.value(QStringLiteral("dns1")).toString());
}

bool IPv4::isAddress(const QString& text)
{
    // QHostAddress alone also takes short forms such as "10.1" or "167772161". Checked
    // by hand: this runs on every network state, and a pattern would page in the regular
    // expression engine and its compiler at start.
    const QVector<QStringRef> parts = text.splitRef(QLatin1Char('.'));
    const bool dottedQuad = parts.size() == 4 && std::all_of(parts.cbegin(), parts.cend(), isGroup);
    QHostAddress address;
    return dottedQuad && address.setAddress(text)
        && address.protocol() == QAbstractSocket::IPv4Protocol;
}

bool IPv4::checkInput(const QString& text)
{
    // Anchored as a whole: "$" alone would also take a trailing line break.
    static const QRegularExpression quad(QRegularExpression::anchoredPattern(
        QStringLiteral("((25[0-5]|(2[0-4]|1\\d|[1-9]|)\\d)\\.?\\b){4}")));
    return text.isEmpty() || quad.match(text).hasMatch();
}

QVariantMap IPv4::checked(const QJsonObject& json, const QString& logTag) const
{
    QVariantMap map = json.toVariantMap();
    for (const QString& key : Keys) {
        if (!json.contains(key))
            continue;
        const QJsonValue value = json.value(key);
        if (value.isNull() || (value.isString() && value.toString().isEmpty())) {
            map.insert(key, QString());
        } else if (!value.isString() || !isAddress(value.toString())) {
            // Only the type or a bounded part of the text: it comes from outside.
            qWarning().noquote().nospace()
                << logTag << "WARN: Ignoring " << key << ", not an IPv4 address : "
                << (value.isString() ? value.toString().left(64) : QStringLiteral("<not text>"));
            map.insert(key, text(key));
        }
    }
    return map;
}
