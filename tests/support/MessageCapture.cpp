#include "MessageCapture.h"

#include <QList>
#include <QMutex>
#include <QMutexLocker>
#include <QPair>

namespace {

QMutex g_mutex;
QList<QPair<QtMsgType, QString>> g_messages;
QtMessageHandler g_previous = nullptr;
bool g_passOn = true;

void record(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    {
        QMutexLocker locker(&g_mutex);
        g_messages.append({type, message});
    }
    if (g_previous && g_passOn)
        g_previous(type, context, message);
}

} // namespace

MessageCapture::MessageCapture(bool passOn)
{
    QMutexLocker locker(&g_mutex);
    g_messages.clear();
    g_passOn = passOn;
    m_previous = qInstallMessageHandler(record);
    g_previous = m_previous;
}

MessageCapture::~MessageCapture()
{
    qInstallMessageHandler(m_previous);
    QMutexLocker locker(&g_mutex);
    g_previous = nullptr;
    g_messages.clear();
}

QStringList MessageCapture::messages() const
{
    QMutexLocker locker(&g_mutex);
    QStringList result;
    for (const auto& message : qAsConst(g_messages))
        result.append(message.second);
    return result;
}

QStringList MessageCapture::messages(QtMsgType type) const
{
    QMutexLocker locker(&g_mutex);
    QStringList result;
    for (const auto& message : qAsConst(g_messages)) {
        if (message.first == type)
            result.append(message.second);
    }
    return result;
}

bool MessageCapture::contains(const QString& text) const
{
    const QStringList all = messages();
    for (const QString& message : all) {
        if (message.contains(text))
            return true;
    }
    return false;
}

void MessageCapture::clear()
{
    QMutexLocker locker(&g_mutex);
    g_messages.clear();
}
