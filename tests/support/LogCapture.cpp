#include "LogCapture.h"

#include <QMutexLocker>

namespace {
LogCapture* s_current = nullptr;
}

LogCapture::LogCapture()
{
    s_current = this;
    m_previous = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(m_previous);
    s_current = nullptr;
}

QList<LogCapture::Entry> LogCapture::entries() const
{
    QMutexLocker lock(&m_mutex);
    return m_entries;
}

QStringList LogCapture::lines(QtMsgType type, const QString& prefix) const
{
    QMutexLocker lock(&m_mutex);
    QStringList result;
    for (const Entry& entry : m_entries) {
        if (entry.type == type && entry.text.startsWith(prefix))
            result.append(entry.text);
    }
    return result;
}

int LogCapture::count(QtMsgType type, const QString& fragment) const
{
    QMutexLocker lock(&m_mutex);
    int n = 0;
    for (const Entry& entry : m_entries) {
        if (entry.type == type && entry.text.contains(fragment))
            ++n;
    }
    return n;
}

void LogCapture::clear()
{
    QMutexLocker lock(&m_mutex);
    m_entries.clear();
}

void LogCapture::handler(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    LogCapture* self = s_current;
    if (!self)
        return;
    {
        QMutexLocker lock(&self->m_mutex);
        self->m_entries.append(Entry {type, text});
    }
    if (type != QtDebugMsg && self->m_previous)
        self->m_previous(type, context, text);
}
