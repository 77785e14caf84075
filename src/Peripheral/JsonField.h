#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <optional>

namespace manager {

// Typed reads of the fields of a service's JSON message.
//
// A missing or null field reads as the type's empty value (false, 0, 0.0, empty
// text, empty object): the services leave out what they do not know. A field of
// another type is malformed: it is logged as a warning under the caller's tag and
// gives no value, so that the caller keeps what it had instead of taking a made-up
// default.
class JsonField
{
public:
    static std::optional<bool> boolean(const QJsonObject& json, const QString& key,
                                       const QString& logTag);
    // A JSON number without fraction that fits an int.
    static std::optional<int> integer(const QJsonObject& json, const QString& key,
                                      const QString& logTag);
    static std::optional<double> number(const QJsonObject& json, const QString& key,
                                        const QString& logTag);
    static std::optional<QString> text(const QJsonObject& json, const QString& key,
                                       const QString& logTag);
    static std::optional<QJsonObject> object(const QJsonObject& json, const QString& key,
                                             const QString& logTag);

    // What a service's status report {"service": bool, "device": {"active": bool}}
    // says of its device: "offline" when the service does not run, "error" when the
    // device is not active, Active (and the device object in device) otherwise. No
    // value when one of these fields cannot be read: the report then says nothing.
    static inline const QString Active = QStringLiteral("active");
    static std::optional<QString> deviceState(const QJsonObject& status, QJsonObject& device,
                                              const QString& logTag);

    // "bool", "number", "string", "array", "object", "null" or "undefined".
    static QString typeName(const QJsonValue& value);
    // Logs the warning for a field that was not of the expected type.
    static void reportWrongType(const QString& logTag, const QString& key, const QJsonValue& value,
                                const QString& expected);
};

} // namespace manager
