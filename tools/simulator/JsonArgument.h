#pragma once

#include <QJsonValue>
#include <QString>

// Reads one value of a request or control command the way a person would write it:
// a number or its text, a boolean or one of the usual words for it. Each reader
// returns false, and leaves its output alone, when the value does not fit.
class JsonArgument
{
public:
    // An integral number, or a text holding one ("42").
    static bool toInt(const QJsonValue& value, int* out);
    // A number, or a text holding one ("24.5").
    static bool toDouble(const QJsonValue& value, double* out);
    // A boolean, 0 or 1, or one of "true"/"false", "on"/"off", "yes"/"no", "1"/"0",
    // "open"/"closed" and "close" (any letter case).
    static bool toBool(const QJsonValue& value, bool* out);
    // A text, or a number written as text.
    static bool toText(const QJsonValue& value, QString* out);
};
