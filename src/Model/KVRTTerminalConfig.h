#pragma once

#include <QObject>
#include <QUrl>

// The validator configuration held by the terminal service: where the on-board unit's broker
// is ("mqtt://[user[:password]@]host[:port]") and the anti-passback settings.
class KVRTTerminalConfig : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QUrl obuUrl READ obuUrl WRITE setObuUrl NOTIFY obuUrlChanged)
    // The OBU address as the settings page shows it: without the password, which the page
    // shows in a password field of its own.
    Q_PROPERTY(QString obuAddress READ obuAddress NOTIFY obuUrlChanged)
    Q_PROPERTY(QString obuPassword READ obuPassword NOTIFY obuUrlChanged)
    Q_PROPERTY(int passbackSecs READ passbackSecs WRITE setPassbackSecs NOTIFY passbackSecsChanged)
    Q_PROPERTY(bool passbackQrEnabled READ passbackQrEnabled WRITE setPassbackQrEnabled NOTIFY
                   passbackQrEnabledChanged)

public:
    explicit KVRTTerminalConfig(QObject* parent = nullptr);
    ~KVRTTerminalConfig() override;

    const QUrl& obuUrl() const { return m_obuUrl; }
    int passbackSecs() const { return m_passbackSecs; }
    bool passbackQrEnabled() const { return m_passbackQrEnabled; }
    // Empty without a host: a validator without an OBU shows no address ("mqtt:").
    QString obuAddress() const
    {
        return m_obuUrl.host().isEmpty() ? QString() : m_obuUrl.toString(QUrl::RemovePassword);
    }
    QString obuPassword() const { return m_obuUrl.password(QUrl::FullyDecoded); }

    // The OBU address as a technician types it ("10.0.0.5:1883", "mqtt://user@host:port"),
    // with the password of its own field when that is not empty. A missing scheme reads as
    // "mqtt". Anything but an "mqtt" URL with a host, a usable port if any and nothing after
    // the address gives an empty URL: the service would drop or misread the rest.
    static QUrl obuUrlFromText(const QString& text, const QString& password = QString());
    // Whether obuUrlFromText() takes the text, for the page to say what is wrong.
    Q_INVOKABLE static bool isObuAddress(const QString& text);

    void setObuUrl(const QUrl& obuUrl);
    void setPassbackSecs(int passbackSecs);
    void setPassbackQrEnabled(bool passbackQrEnabled);

Q_SIGNALS:
    void obuUrlChanged();
    void passbackSecsChanged();
    void passbackQrEnabledChanged();

private:
    QUrl m_obuUrl;
    int m_passbackSecs = 0;
    bool m_passbackQrEnabled = false;
};
