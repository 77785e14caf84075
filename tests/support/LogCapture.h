#pragma once

#include <QList>
#include <QString>
#include <QtGlobal>

// Records the log messages issued while it lives and passes each on to the handler
// installed before it (the test framework's, so QTest::ignoreMessage still works).
// For checks that something was NOT logged. One at a time, GUI thread only.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    QList<QString> messages(QtMsgType type) const;
    void clear() { m_messages.clear(); }

private:
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& text);

    QtMessageHandler m_previous;
    QList<QPair<QtMsgType, QString>> m_messages;
};
