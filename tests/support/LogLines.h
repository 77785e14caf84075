#pragma once

#include <QStringList>

// Checks on recorded log lines (see MessageCapture): the lines that start with the
// prefix, in order, and how many contain the fragment.
inline QStringList linesStartingWith(const QStringList& lines, const QString& prefix)
{
    QStringList result;
    for (const QString& line : lines) {
        if (line.startsWith(prefix))
            result.append(line);
    }
    return result;
}

inline int countContaining(const QStringList& lines, const QString& fragment)
{
    return lines.filter(fragment).size();
}
