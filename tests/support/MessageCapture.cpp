#include "MessageCapture.h"

#include <QMutex>
#include <QPair>

namespace {
QMutex g_mutex;
QList<QPair<int, QString>> g_messages;
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

QStringList MessageCapture::messages(int type) const
{
    QMutexLocker locker(&g_mutex);
    QStringList result;
    for (const auto& message : qAsConst(g_messages)) {
        if (type < 0 || message.first == type)
            result.append(message.second);
    }
    return result;
}

void MessageCapture::clear()
{
    QMutexLocker locker(&g_mutex);
    g_messages.clear();
}
