#pragma once

#include "FileWriter.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QVariant>
#include <QVector>

#include <atomic>
#include <memory>

class Config;
class Event;

// The event log: a bounded list of events kept in "events.ini" and offered to QML
// as a filtered view, newest first. Entries older than 30 days are dropped at
// start-up. The manager owns its events. The file is written on a thread of its own,
// so that a slow disk never holds up the screen.
class EventManager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QVariant data READ data NOTIFY dataChanged)

public:
    // Most events read from the file; a push beyond it drops the oldest first.
    static constexpr int MaxEvents = 1000;
    static constexpr int RetentionDays = 30;

    // When the file is read: at once, or on the first ensureLoaded(), clear() or
    // readInBackground(), so that a program can show its first frame before paying for a
    // long log. Events pushed before wait, in their order, and follow what the file holds.
    enum class Loading { Now, Deferred };

    // The file lives in the program's directory.
    explicit EventManager(Config& config, QObject* parent = nullptr);
    // The file lives in the given directory.
    EventManager(Config& config, const QString& directory, QObject* parent = nullptr);
    EventManager(Config& config, const QString& directory, Loading loading,
                 QObject* parent = nullptr);
    ~EventManager() override;

    // The visible events (QList<QObject*>), for a QML model.
    QVariant data() const { return QVariant::fromValue(m_visible); }
    int count() const { return m_data.size(); }
    const QList<Event*>& events() const { return m_data; }
    QString filename() const { return m_filename; }
    bool isLoaded() const { return m_loaded; }

    // Reads the file and drops the entries past retention, once. No save comes before it:
    // it would replace the stored log with a part of it. A read under way in the
    // background is waited for, as long as it takes.
    void ensureLoaded();
    // Reads the file on the writer's thread and takes its events in on this one, once:
    // a full log takes tens of milliseconds to parse, which the screen does not wait for.
    void readInBackground();

    // Blocks until the changes made so far are in the file (or could not be written),
    // at most `msecs` (-1: no limit). Whether they are all done. The destructor waits
    // too, a bounded time.
    // Events waiting for the file to be read are read in and written too.
    bool waitForWritten(int msecs = -1);

    // The time bounds of a named period at the given moment; invalid bounds for a
    // period that has none ("All history" and any unknown name).
    static QPair<QDateTime, QDateTime> periodBounds(const QString& period, const QDateTime& now);

Q_SIGNALS:
    void dataChanged();
    // The file has been read and its events taken in, with those pushed before.
    void loaded();

public Q_SLOTS:
    void push(Event* event);
    // Removes the events stamped at or before the given time (and those without a time).
    void clear(const QDateTime& before);
    void clear();
    void applyFilter(const QString& name);
    void applyFilter(int severity);
    void applyFilter(const QDateTime& from, const QDateTime& to = QDateTime());
    void applyFilterPeriod(const QString& period);

private:
    // An event as the file holds it: plain values, for the writer's thread.
    struct Entry
    {
        QString category;
        QString name;
        QString description;
        QDateTime timestamp;
        QDateTime instant; // the timestamp in UTC
    };
    struct Reading
    {
        bool unreadable = false;
        QVector<Entry> entries;
    };
    static Reading read(const QString& filename);
    void finishLoading();
    void save();
    void update();
    bool isVisible(const Event* event) const;
    // Moves the bounds of a named period to the current time; whether they moved.
    bool followClock();
    void setAside(const QString& reason);

    Config* m_config;
    QString m_filename;
    QList<Event*> m_data; // oldest first
    QList<QObject*> m_visible; // newest first
    int m_filterSeverity = 0;
    QString m_filterName;
    QDateTime m_filterFrom;
    QDateTime m_filterTo;
    // The named period the bounds come from, empty for bounds given as they are.
    QString m_period;
    bool m_loaded = false;
    // The file's contents once read, until they are taken in.
    std::shared_ptr<Reading> m_reading;
    // An unreadable file could not be kept aside: saves leave it as it is. Set by the
    // writer's thread.
    std::shared_ptr<std::atomic_bool> m_unreadable = std::make_shared<std::atomic_bool>(false);
    FileWriter m_writer;
};
