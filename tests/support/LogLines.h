#pragma once

#include <QString>
#include <QStringList>

// The log lines that start with the prefix, in order; for checks on what a
// MessageCapture recorded.
inline QStringList linesStartingWith(const QStringList& lines, const QString& prefix)
{
    QStringList result;
    for (const QString& line : lines) {
        if (line.startsWith(prefix))
            result.append(line);
    }
    return result;
}

// How many log lines contain the fragment.
inline int countContaining(const QStringList& lines, const QString& fragment)
{
    return lines.filter(fragment).size();
}
