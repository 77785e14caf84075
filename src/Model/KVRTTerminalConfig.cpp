#include "KVRTTerminalConfig.h"

#include "UpdateProperty.h"

KVRTTerminalConfig::KVRTTerminalConfig(QObject* parent)
    : QObject(parent)
{ }

KVRTTerminalConfig::~KVRTTerminalConfig() = default;

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
