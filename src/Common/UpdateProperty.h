#pragma once

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
