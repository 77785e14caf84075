#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <unistd.h>

// Whole-file reads and writes on scratch files, for set-up and checks.
// An absent or unreadable file reads as empty.
inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool writeFile(const QString& path, const QByteArray& contents)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(contents) == contents.size();
}

// A copy (a hard link where it can) of the terminal program in the directory, where its
// event log then goes beside it. Returns its path, or an empty one.
inline QString copyTerminal(const QString& dir)
{
    const QString program = QDir(dir).filePath("KVRTTerminalUI");
    const bool made = ::link(KVRT_TERMINAL_BINARY, qPrintable(program)) == 0
        || QFile::copy(KVRT_TERMINAL_BINARY, program);
    return made ? program : QString();
}
