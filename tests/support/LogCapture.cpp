#include "LogCapture.h"

#include <QMutex>
#include <QMutexLocker>

namespace {

QMutex s_mutex;
QList<LogCapture::Entry> s_entries;
QtMessageHandler s_previous = nullptr;
bool s_active = false;

} // namespace

LogCapture::LogCapture()
{
    QMutexLocker lock(&s_mutex);
    Q_ASSERT_X(!s_active, "LogCapture", "one capture at a time");
    s_active = true;
    s_entries.clear();
    s_previous = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(s_previous);
    QMutexLocker lock(&s_mutex);
    s_active = false;
    s_entries.clear();
}

QList<LogCapture::Entry> LogCapture::entries() const
{
    QMutexLocker lock(&s_mutex);
    return s_entries;
}

QStringList LogCapture::messages(QtMsgType type) const
{
    QStringList result;
    for (const Entry& entry : entries()) {
        if (entry.type == type)
            result.append(entry.text);
    }
    return result;
}

QStringList LogCapture::lines(QtMsgType type, const QString& prefix) const
{
    QStringList result;
    for (const QString& text : messages(type)) {
        if (text.startsWith(prefix))
            result.append(text);
    }
    return result;
}

bool LogCapture::contains(QtMsgType type, const QString& text) const
{
    return messages(type).contains(text);
}

int LogCapture::count(QtMsgType type, const QString& prefix) const
{
    int n = 0;
    for (const QString& text : messages(type)) {
        if (text.startsWith(prefix))
            ++n;
    }
    return n;
}

void LogCapture::clear()
{
    QMutexLocker lock(&s_mutex);
    s_entries.clear();
}

void LogCapture::handler(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    QtMessageHandler previous;
    {
        QMutexLocker lock(&s_mutex);
        s_entries.append({type, text});
        previous = s_previous;
    }
    if (previous)
        previous(type, context, text);
}
