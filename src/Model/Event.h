#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>

// One entry of the event log. An event does not change once made; the notify
// signals exist for QML bindings and are never emitted.
class Event : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString category READ category NOTIFY categoryChanged)
    Q_PROPERTY(QString name READ name NOTIFY nameChanged)
    Q_PROPERTY(QString description READ description NOTIFY descriptionChanged)
    Q_PROPERTY(QDateTime timestamp READ timestamp NOTIFY timestampChanged)

public:
    explicit Event(QObject* parent = nullptr);
    Event(const QString& category, const QString& name, const QString& description,
          const QDateTime& timestamp, QObject* parent = nullptr);
    // With the same moment in UTC, where it is known already.
    Event(const QString& category, const QString& name, const QString& description,
          const QDateTime& timestamp, const QDateTime& instant, QObject* parent = nullptr);
    ~Event() override;

    const QString& category() const { return m_category; }
    const QString& name() const { return m_name; }
    const QString& description() const { return m_descr; }
    const QDateTime& timestamp() const { return m_timestamp; }
    // The event's moment in UTC, as the zone was when it was made (or as the log stores
    // it). Converted once: each conversion of a local time asks the C library, which looks
    // at the zone's file again, and a save writes every event.
    const QDateTime& instant() const { return m_instant; }

Q_SIGNALS:
    void categoryChanged();
    void nameChanged();
    void descriptionChanged();
    void timestampChanged();

private:
    QString m_category;
    QString m_name;
    QString m_descr;
    QDateTime m_timestamp;
    QDateTime m_instant;
};
