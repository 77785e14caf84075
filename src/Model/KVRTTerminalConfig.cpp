#include "KVRTTerminalConfig.h"

#include "UpdateProperty.h"

KVRTTerminalConfig::KVRTTerminalConfig(QObject* parent)
    : QObject(parent)
{ }

KVRTTerminalConfig::~KVRTTerminalConfig() = default;

QUrl KVRTTerminalConfig::obuUrlFromText(const QString& text, const QString& password)
{
    const QString trimmed = text.trimmed();
    // "host:port" alone would read as a URL of the scheme "host".
    QUrl url(trimmed.contains(QLatin1String("://")) ? trimmed : QStringLiteral("mqtt://") + trimmed,
             QUrl::TolerantMode);
    if (!url.isValid() || url.scheme() != QLatin1String("mqtt") || url.host().isEmpty()
        || url.port() == 0 || (!url.path().isEmpty() && url.path() != QLatin1String("/"))
        || url.hasQuery() || url.hasFragment())
        return QUrl();
    url.setPath(QString());
    if (!password.isEmpty())
        url.setPassword(password, QUrl::DecodedMode);
    return url;
}

bool KVRTTerminalConfig::isObuAddress(const QString& text)
{
    return !obuUrlFromText(text).isEmpty();
}

void KVRTTerminalConfig::setObuUrl(const QUrl& obuUrl)
{
    updateProperty(m_obuUrl, obuUrl, this, &KVRTTerminalConfig::obuUrlChanged);
}

void KVRTTerminalConfig::setPassbackSecs(int passbackSecs)
{
    updateProperty(m_passbackSecs, passbackSecs, this, &KVRTTerminalConfig::passbackSecsChanged);
}

void KVRTTerminalConfig::setPassbackQrEnabled(bool passbackQrEnabled)
{
    updateProperty(m_passbackQrEnabled, passbackQrEnabled, this,
                   &KVRTTerminalConfig::passbackQrEnabledChanged);
}
