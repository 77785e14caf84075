#pragma once

#include <QJsonObject>
#include <QObject>

// The validator's barcode scanner as the terminal service reports it.
class ValidatorBarcode : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool active READ active NOTIFY activeChanged)
    Q_PROPERTY(bool enabled READ enabled NOTIFY enabledChanged)
    Q_PROPERTY(QString firmware READ firmware NOTIFY firmwareChanged)
    Q_PROPERTY(QString version READ version NOTIFY versionChanged)
    Q_PROPERTY(QString manufacturer READ manufacturer NOTIFY manufacturerChanged)
    Q_PROPERTY(QString model READ model NOTIFY modelChanged)

public:
    explicit ValidatorBarcode(QObject* parent = nullptr);
    ~ValidatorBarcode() override;

    // Reports carry parts of the state: keys that are absent keep their values.
    ValidatorBarcode& fromJson(const QJsonObject& json);

    bool active() const { return m_active; }
    bool enabled() const { return m_enabled; }
    const QString& firmware() const { return m_firmware; }
    const QString& version() const { return m_version; }
    const QString& manufacturer() const { return m_manufacturer; }
    const QString& model() const { return m_model; }

Q_SIGNALS:
    void activeChanged();
    void enabledChanged();
    void firmwareChanged();
    void versionChanged();
    void manufacturerChanged();
    void modelChanged();

private:
    void setActive(bool active);
    void setEnabled(bool enabled);
    void setFirmware(const QString& firmware);
    void setManufacturer(const QString& manufacturer);
    void setModel(const QString& model);

    bool m_active = false;
    bool m_enabled = false;
    QString m_firmware;
    QString m_version; // no report carries it
    QString m_manufacturer;
    QString m_model;
};
