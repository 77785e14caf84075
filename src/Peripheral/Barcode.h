#pragma once

#include "SwitchableClient.h"

#include <QJsonObject>
#include <QString>

namespace manager {

class MqttClient;

// Client of a barcode scanner service: follows its status, keeps the scanner's
// identification, switches the scanner on and off (enable(), disable()) and turns
// each scan into barcodeScanned().
class BarcodeManager : public SwitchableClient
{
    Q_OBJECT

public:
    BarcodeManager(MqttClient& mqtt, const QString& base, QObject* parent = nullptr);

    const Info& info() const { return m_info; }
    // "offline", "error", "enabled" or "disabled"; empty until the first status report.
    const QString& status() const { return m_status; }

Q_SIGNALS:
    void statusChanged(const QString& status);
    void barcodeScanned(const QString& data);
    void deviceError(const QString& descr);

private:
    void onInfoReceived(const QJsonObject& json);
    void onStatusReceived(const QJsonObject& json);
    void onBarcodeReceived(const QJsonObject& json);
    void setStatus(const QString& status);

    QString m_status;
    Info m_info;
};

} // namespace manager
