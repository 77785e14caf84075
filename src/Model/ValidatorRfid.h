#pragma once

#include "SAM.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QVector>

// The validator's contactless reader, its card slots and its SAMs, as the terminal service
// reports them.
class ValidatorRfid : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool active READ active NOTIFY activeChanged)
    Q_PROPERTY(bool enabled READ enabled NOTIFY enabledChanged)
    Q_PROPERTY(int numberOfSlots READ numberOfSlots NOTIFY numberOfSlotsChanged)
    Q_PROPERTY(QString state READ state NOTIFY stateChanged)
    Q_PROPERTY(QString error READ error NOTIFY errorChanged)
    Q_PROPERTY(QString firmware READ firmware NOTIFY firmwareChanged)
    Q_PROPERTY(QString version READ version NOTIFY versionChanged)
    Q_PROPERTY(QString manufacturer READ manufacturer NOTIFY manufacturerChanged)
    Q_PROPERTY(QString model READ model NOTIFY modelChanged)
    Q_PROPERTY(QString deviceUid READ deviceUid NOTIFY deviceUidChanged)
    Q_PROPERTY(SAM* sam READ sam NOTIFY samChanged)

public:
    explicit ValidatorRfid(QObject* parent = nullptr);
    ~ValidatorRfid() override;

    // Reads the info part (when "firmware" is present) and the status part (when "state" is).
    ValidatorRfid& fromJson(const QJsonObject& json);

    bool active() const { return m_active; }
    // The reader is looking for cards or holds one.
    bool enabled() const;
    int numberOfSlots() const { return m_slots.size(); }
    const QVector<bool>& cardSlots() const { return m_slots; }
    const QString& state() const { return m_state; }
    const QString& error() const { return m_error; }
    const QString& firmware() const { return m_firmware; }
    const QString& version() const { return m_version; }
    const QString& manufacturer() const { return m_manufacturer; }
    const QString& model() const { return m_model; }
    const QString& deviceUid() const { return m_deviceUid; }
    // The first SAM, or null. SAMs are recreated by every status part: re-read after samChanged.
    SAM* sam() const;
    const QVector<SAM*>& sams() const { return m_sams; }

    static QString stateToStr(int state);

Q_SIGNALS:
    void activeChanged();
    void enabledChanged();
    void numberOfSlotsChanged();
    void stateChanged();
    void errorChanged();
    void firmwareChanged();
    void versionChanged();
    void manufacturerChanged();
    void modelChanged();
    void deviceUidChanged();
    void samChanged();

private:
    void setActive(bool active);
    void setError(const QString& error);
    void setState(const QString& state);
    void setSlots(const QVector<bool>& cardSlots);
    void setSams(const QJsonArray& sams);
    void setFirmware(const QString& firmware);
    void setManufacturer(const QString& manufacturer);
    void setModel(const QString& model);
    void setDeviceUid(const QString& deviceUid);

    bool m_active = false;
    QString m_firmware;
    QString m_version; // no report carries it
    QString m_manufacturer;
    QString m_model;
    QString m_deviceUid;
    QString m_error;
    QString m_state;
    QVector<bool> m_slots;
    QVector<SAM*> m_sams; // children of this object
};
