#pragma once

#include <QString>

#include <cstddef>

// The name of an enumerator numbered from 0 in the order of `names`; "Unknown"
// for any other value, as a service may report numbers this program does not know.
template<std::size_t N>
QString enumName(int value, const char* const (&names)[N])
{
    if (value < 0 || value >= int(N))
        return QStringLiteral("Unknown");
    return QString::fromLatin1(names[value]);
}
