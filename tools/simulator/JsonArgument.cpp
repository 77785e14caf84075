#include "JsonArgument.h"

#include <QStringList>

#include <cmath>
#include <limits>

bool JsonArgument::toInt(const QJsonValue& value, int* out)
{
    double number = 0;
    if (!toDouble(value, &number) || std::floor(number) != number
        || number < std::numeric_limits<int>::min() || number > std::numeric_limits<int>::max())
        return false;
    *out = int(number);
    return true;
}

bool JsonArgument::toDouble(const QJsonValue& value, double* out)
{
    if (value.isDouble()) {
        *out = value.toDouble();
        return true;
    }
    if (!value.isString())
        return false;
    bool ok = false;
    const double number = value.toString().trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(number))
        return false;
    *out = number;
    return true;
}

bool JsonArgument::toBool(const QJsonValue& value, bool* out)
{
    if (value.isBool()) {
        *out = value.toBool();
        return true;
    }
    if (value.isDouble() && (value.toDouble() == 0 || value.toDouble() == 1)) {
        *out = value.toDouble() == 1;
        return true;
    }
    if (!value.isString())
        return false;
    static const QStringList yes {QStringLiteral("true"), QStringLiteral("on"),
                                  QStringLiteral("yes"), QStringLiteral("1"),
                                  QStringLiteral("open")};
    static const QStringList no {QStringLiteral("false"),  QStringLiteral("off"),
                                 QStringLiteral("no"),     QStringLiteral("0"),
                                 QStringLiteral("closed"), QStringLiteral("close")};
    const QString word = value.toString().trimmed().toLower();
    if (yes.contains(word)) {
        *out = true;
        return true;
    }
    if (no.contains(word)) {
        *out = false;
        return true;
    }
    return false;
}

bool JsonArgument::toText(const QJsonValue& value, QString* out)
{
    if (value.isString()) {
        *out = value.toString();
        return true;
    }
    if (value.isDouble()) {
        *out = QString::number(value.toDouble(), 'g', 15);
        return true;
    }
    return false;
}
