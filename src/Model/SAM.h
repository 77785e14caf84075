#pragma once

#include <QDate>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QVector>

// One secure access module in the validator's RFID reader, as the terminal service reports it.
class SAM : public QObject
{
    Q_OBJECT
    Q_PROPERTY(int slot READ slot NOTIFY slotChanged)
    Q_PROPERTY(bool enabled READ enabled NOTIFY enabledChanged)
    Q_PROPERTY(bool unlocked READ unlocked NOTIFY unlockedChanged)
    Q_PROPERTY(QString atr READ atr NOTIFY atrChanged)
    Q_PROPERTY(QString batch READ batch NOTIFY batchChanged)
    Q_PROPERTY(QString mode READ mode NOTIFY modeChanged)
    Q_PROPERTY(QString name READ name NOTIFY nameChanged)
    Q_PROPERTY(QDate production READ production NOTIFY productionChanged)
    Q_PROPERTY(QString uid READ uid NOTIFY uidChanged)
    Q_PROPERTY(QString vendor READ vendor NOTIFY vendorChanged)
    Q_PROPERTY(QString version READ version NOTIFY versionChanged)

public:
    explicit SAM(QObject* parent = nullptr);
    explicit SAM(const QJsonObject& data, QObject* parent = nullptr);
    ~SAM() override;

    // Every key is read; a missing one resets its property to 0, false or empty.
    SAM& fromJson(const QJsonObject& json);

    // Readers have a handful of SAM sockets (four is usual); eight leaves room for larger
    // boards. A report that lists more is broken and must not make objects without bound.
    static constexpr int MaxPerReader = 8;
    // One SAM per element, the first MaxPerReader at most (a warning tells of the rest).
    static QVector<SAM*> listFromJson(const QJsonArray& sams, QObject* parent,
                                      const QString& logTag);

    int slot() const { return m_slot; }
    bool enabled() const { return m_enabled; }
    bool unlocked() const { return m_unlocked; }
    const QString& atr() const { return m_atr; }
    const QString& batch() const { return m_batch; }
    const QString& mode() const { return m_mode; }
    const QString& name() const { return m_name; }
    const QDate& production() const { return m_production; }
    const QString& uid() const { return m_uid; }
    const QString& vendor() const { return m_vendor; }
    const QString& version() const { return m_version; }

Q_SIGNALS:
    void slotChanged();
    void enabledChanged();
    void unlockedChanged();
    void atrChanged();
    void batchChanged();
    void modeChanged();
    void nameChanged();
    void productionChanged();
    void uidChanged();
    void vendorChanged();
    void versionChanged();

private:
    void setSlot(int slot);
    void setEnabled(bool enabled);
    void setUnlocked(bool unlocked);
    void setAtr(const QString& atr);
    void setBatch(const QString& batch);
    void setMode(const QString& mode);
    void setName(const QString& name);
    void setProduction(const QDate& production);
    void setUid(const QString& uid);
    void setVendor(const QString& vendor);
    void setVersion(const QString& version);

    int m_slot = 0;
    bool m_enabled = false;
    bool m_unlocked = false;
    QString m_atr;
    QString m_batch;
    QString m_mode;
    QString m_name;
    QDate m_production;
    QString m_uid;
    QString m_vendor;
    QString m_version;
};
