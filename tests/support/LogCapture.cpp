#include "LogCapture.h"

namespace {

LogCapture* current = nullptr;

} // namespace

LogCapture::LogCapture()
{
    Q_ASSERT(!current);
    current = this;
    m_previous = qInstallMessageHandler(&LogCapture::handle);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(m_previous);
    current = nullptr;
}

QList<QString> LogCapture::messages(QtMsgType type) const
{
    QList<QString> result;
    for (const auto& message : m_messages) {
        if (message.first == type)
            result.append(message.second);
    }
    return result;
}

void LogCapture::handle(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (current) {
        current->m_messages.append({type, text});
        if (current->m_previous)
            current->m_previous(type, context, text);
    }
}
