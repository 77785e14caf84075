#include "JsonField.h"

#include "TaggedLog.h"

#include <cmath>
#include <limits>

namespace manager {

namespace {

bool isEmpty(const QJsonValue& value)
{
    return value.isUndefined() || value.isNull();
}

} // namespace

std::optional<bool> JsonField::boolean(const QJsonObject& json, const QString& key,
                                       const QString& logTag)
{
    const QJsonValue value = json.value(key);
    if (isEmpty(value))
        return false;
    if (value.isBool())
        return value.toBool();
    reportWrongType(logTag, key, value, QStringLiteral("bool"));
    return std::nullopt;
}

std::optional<int> JsonField::integer(const QJsonObject& json, const QString& key,
                                      const QString& logTag)
{
    const QJsonValue value = json.value(key);
    if (isEmpty(value))
        return 0;
    if (value.isDouble()) {
        const double number = value.toDouble();
        if (std::trunc(number) == number && number >= std::numeric_limits<int>::min()
            && number <= std::numeric_limits<int>::max())
            return static_cast<int>(number);
    }
    reportWrongType(logTag, key, value, QStringLiteral("integer"));
    return std::nullopt;
}

std::optional<double> JsonField::number(const QJsonObject& json, const QString& key,
                                        const QString& logTag)
{
    const QJsonValue value = json.value(key);
    if (isEmpty(value))
        return 0.0;
    if (value.isDouble())
        return value.toDouble();
    reportWrongType(logTag, key, value, QStringLiteral("number"));
    return std::nullopt;
}

std::optional<QString> JsonField::text(const QJsonObject& json, const QString& key,
                                       const QString& logTag)
{
    const QJsonValue value = json.value(key);
    if (isEmpty(value))
        return QString();
    if (value.isString())
        return value.toString();
    reportWrongType(logTag, key, value, QStringLiteral("string"));
    return std::nullopt;
}

std::optional<QJsonObject> JsonField::object(const QJsonObject& json, const QString& key,
                                             const QString& logTag)
{
    const QJsonValue value = json.value(key);
    if (isEmpty(value))
        return QJsonObject();
    if (value.isObject())
        return value.toObject();
    reportWrongType(logTag, key, value, QStringLiteral("object"));
    return std::nullopt;
}

std::optional<QString> JsonField::deviceState(const QJsonObject& status, QJsonObject& device,
                                              const QString& logTag)
{
    const auto service = boolean(status, QStringLiteral("service"), logTag);
    if (!service)
        return std::nullopt;
    if (!*service)
        return QStringLiteral("offline");
    const auto object = JsonField::object(status, QStringLiteral("device"), logTag);
    if (!object)
        return std::nullopt;
    const auto active = boolean(*object, QStringLiteral("active"), logTag);
    if (!active)
        return std::nullopt;
    device = *object;
    return *active ? Active : QStringLiteral("error");
}

QString JsonField::typeName(const QJsonValue& value)
{
    switch (value.type()) {
    case QJsonValue::Null:
        return QStringLiteral("null");
    case QJsonValue::Bool:
        return QStringLiteral("bool");
    case QJsonValue::Double:
        return QStringLiteral("number");
    case QJsonValue::String:
        return QStringLiteral("string");
    case QJsonValue::Array:
        return QStringLiteral("array");
    case QJsonValue::Object:
        return QStringLiteral("object");
    case QJsonValue::Undefined:
        break;
    }
    return QStringLiteral("undefined");
}

void JsonField::reportWrongType(const QString& logTag, const QString& key, const QJsonValue& value,
                                const QString& expected)
{
    // Only the type is logged: the value comes from outside and may be of any size.
    tagged(qWarning(), logTag) << "Ignoring field '" << key << "' of type " << typeName(value)
                               << ", expected " << expected;
}

} // namespace manager
