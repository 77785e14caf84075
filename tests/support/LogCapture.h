#pragma once

#include <QList>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// Records every message logged through Qt while it exists, so that tests can
// check what was logged and at which level. Messages above debug level are
// passed on to the handler installed before.
class LogCapture
{
public:
    struct Entry
    {
        QtMsgType type;
        QString text;
    };

    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    QList<Entry> entries() const;
    // The texts logged at this level that start with prefix.
    QStringList lines(QtMsgType type, const QString& prefix = QString()) const;
    // How many texts logged at this level contain the fragment.
    int count(QtMsgType type, const QString& fragment) const;
    void clear();

private:
    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& text);

    mutable QMutex m_mutex;
    QList<Entry> m_entries;
    QtMessageHandler m_previous = nullptr;
};
