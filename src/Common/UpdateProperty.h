#pragma once

#include <QDebug>
#include <QString>

// Stores value in field and emits the notify signal, only when the value differs.
// Returns whether it changed. Shared by the setters of the observable models.
template<typename Object, typename T>
bool updateProperty(T& field, const T& value, Object* object, void (Object::*notify)())
{
    if (field == value)
        return false;
    field = value;
    Q_EMIT(object->*notify)();
    return true;
}

// The same for a component that logs its changes: a change is logged first as
// "<tag><label><value><unit>" at the given level. A notify signal with an argument
// is given the new value.
template<typename Object, typename T, typename... Args>
bool updateProperty(T& field, const T& value, Object* object, void (Object::*notify)(Args...),
                    QtMsgType level, const QString& tag, const char* label, const char* unit = "")
{
    if (field == value)
        return false;
    QDebug(level).noquote().nospace() << tag << label << value << unit;
    field = value;
    if constexpr (sizeof...(Args) == 0)
        Q_EMIT(object->*notify)();
    else
        Q_EMIT(object->*notify)(field);
    return true;
}
