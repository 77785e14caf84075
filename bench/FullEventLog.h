#pragma once

#include "BenchSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>

// The terminal keeps its event log next to its program, and every start adds to it: the
// starts are measured with a full log (as on a terminal that has run for a while), the
// log that was there is put back afterwards.
class FullEventLog
{
public:
    FullEventLog()
        : m_path(QFileInfo(QStringLiteral(KVRT_TERMINAL_BINARY))
                     .dir()
                     .filePath(QStringLiteral("events.ini")))
    {
        QFile::remove(m_path + Saved);
        m_saved = QFile::rename(m_path, m_path + Saved);
        bench::writeEventLog(m_path, Size);
    }
    ~FullEventLog()
    {
        QFile::remove(m_path);
        if (m_saved)
            QFile::rename(m_path + Saved, m_path);
    }
    static constexpr int Size = 1000;

private:
    const QString Saved = QStringLiteral(".bench");
    QString m_path;
    bool m_saved = false;
};
