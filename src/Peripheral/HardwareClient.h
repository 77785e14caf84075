#pragma once

#include "DeviceClient.h"

#include <QString>

namespace manager {

// Common ground of the clients whose service fronts one piece of card-handling
// hardware: the identification the service publishes on "/info" (the device's
// maker, model and firmware, and the service's own version), and the
// request/response calls whose reply reports {"completed": true, ...} on success.
class HardwareClient : public DeviceClient
{
    Q_OBJECT
    Q_PROPERTY(QString manufacturer READ manufacturer NOTIFY manufacturerChanged)
    Q_PROPERTY(QString model READ model NOTIFY modelChanged)
    Q_PROPERTY(QString firmware READ firmware NOTIFY firmwareChanged)
    Q_PROPERTY(QString software READ software NOTIFY softwareChanged)

public:
    using DeviceClient::DeviceClient;

    const QString& manufacturer() const { return m_manufacturer; }
    const QString& model() const { return m_model; }
    const QString& firmware() const { return m_firmware; }
    const QString& software() const { return m_software; }

Q_SIGNALS:
    void manufacturerChanged();
    void modelChanged();
    void firmwareChanged();
    void softwareChanged();

protected:
    // Takes "device/firmware", "device/manufacturer", "device/model" and
    // "service/version" of an info message.
    void readInfo(const QJsonObject& json);

    // One request whose reply is settled as the service means it: `completed`
    // turns a reply with "completed": true into the result, `refused` the
    // reply's "error" object of any other reply, `failed` the transport's text
    // (time-out, not connected, invalid response). The functions may run after
    // this client is gone.
    template<typename Result, typename Completed, typename Refused, typename Failed>
    Deferred<Result> call(const QString& suffix, const QJsonObject& params, int timeoutMsec,
                          Completed completed, Refused refused, Failed failed)
    {
        Deferred<Result> result;
        request(suffix, params, timeoutMsec)
            .done([result, completed, refused](const QJsonValue& value) mutable {
                const QJsonObject reply = value.toObject();
                if (reply.value(QStringLiteral("completed")).toBool())
                    result.resolve(completed(reply));
                else
                    result.reject(refused(reply.value(QStringLiteral("error")).toObject()));
            })
            .fail([result, failed](const QJsonValue& error) mutable {
                result.reject(failed(error.toString()));
            });
        return result;
    }

private:
    QString m_manufacturer;
    QString m_model;
    QString m_firmware;
    QString m_software;
};

} // namespace manager
