#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// Records the Qt messages written while it exists (and still passes them on to the
// handler that was installed before), so that tests can check log lines:
//
//     LogCapture log;
//     ...
//     QVERIFY(log.contains(QtCriticalMsg, "[MqttClient] [RPC] ERROR : Timeout"));
//
// One capture at a time; messages from other threads are recorded too.
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
    // Texts of one message type, in order.
    QStringList messages(QtMsgType type) const;
    // Exact text of a message of that type.
    bool contains(QtMsgType type, const QString& text) const;
    // Texts of one message type that start with the prefix, in order.
    QStringList lines(QtMsgType type, const QString& prefix = QString()) const;
    // Number of messages of that type that start with the prefix.
    int count(QtMsgType type, const QString& prefix = QString()) const;
    void clear();

private:
    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& text);
};
