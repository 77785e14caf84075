#include "MessageCapture.h"

#include <QList>
#include <QMutex>
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

QStringList select(int type)
{
    QMutexLocker locker(&g_mutex);
    QStringList result;
    for (const auto& message : qAsConst(g_messages)) {
        if (type < 0 || message.first == type)
            result.append(message.second);
    }
    return result;
}
} // namespace

MessageCapture::MessageCapture(bool passOn)
{
    clear();
    g_passOn = passOn;
    g_previous = qInstallMessageHandler(record);
}

MessageCapture::~MessageCapture()
{
    qInstallMessageHandler(g_previous);
    g_previous = nullptr;
    clear();
}

QStringList MessageCapture::messages() const
{
    return select(-1);
}

QStringList MessageCapture::messages(QtMsgType type) const
{
    return select(type);
}

void MessageCapture::clear()
{
    QMutexLocker locker(&g_mutex);
    g_messages.clear();
}
