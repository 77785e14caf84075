#include "EventManager.h"

#include "AtomicFile.h"
#include "Config.h"
#include "Event.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSettings>
#include <QVector>

#include <algorithm>
#include <exception>
#include <new>

namespace {

const char* const Tag = "[EventManager] ";
const QString ArrayName = QStringLiteral("events");

// Newest first; events without a time sort last.
bool newerThan(const QObject* a, const QObject* b)
{
    return static_cast<const Event*>(a)->timestamp() > static_cast<const Event*>(b)->timestamp();
}

void logDeleted(int removed, const QDateTime& before)
{
    qInfo().noquote().nospace() << Tag
                                << QStringLiteral("Deleted %1 event(s) older than %2")
                                       .arg(removed)
                                       .arg(before.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")));
}

} // namespace

EventManager::EventManager(Config& config, QObject* parent)
    : EventManager(config, QCoreApplication::applicationDirPath(), parent)
{ }

EventManager::EventManager(Config& config, const QString& directory, QObject* parent)
    : EventManager(config, directory, Loading::Now, parent)
{ }

EventManager::EventManager(Config& config, const QString& directory, Loading loading,
                           QObject* parent)
    : QObject(parent)
    , m_config(&config)
    , m_filename(QDir(directory).filePath(QStringLiteral("events.ini")))
{
    // Reported once per failing streak, not at every event.
    connect(&m_writer, &FileWriter::writeFailed, this,
            [this](const QString&, const QString& error) {
                qWarning().noquote().nospace()
                    << Tag << "WARN: Cannot write the events file " << m_filename << " (" << error
                    << "); the log is kept in memory only";
            });
    connect(&m_writer, &FileWriter::writeRecovered, this, [this] {
        qInfo().noquote().nospace() << Tag << "Events file written again : " << m_filename;
    });
    if (loading == Loading::Now)
        ensureLoaded();
}

// The events are children of the manager and go with it; those logged before the file
// was read are written all the same.
EventManager::~EventManager()
{
    if (!m_loaded && (m_reading || !m_data.isEmpty()))
        waitForWritten(int(FileWriter::finishDeadline().remainingTime()));
}

bool EventManager::waitForWritten(int msecs)
{
    if (m_loaded || (!m_reading && m_data.isEmpty()))
        return m_writer.waitForWritten(msecs);
    const QDeadlineTimer deadline(msecs < 0 ? QDeadlineTimer::Forever : QDeadlineTimer(msecs));
    readInBackground();
    if (!m_writer.waitForWritten(msecs))
        return false;
    finishLoading();
    return m_writer.waitForWritten(int(deadline.remainingTime()));
}

void EventManager::ensureLoaded()
{
    if (m_loaded)
        return;
    if (m_reading)
        // Its read is under way on the writer's thread: done once the writer is.
        m_writer.waitForWritten();
    else
        m_reading = std::make_shared<Reading>(read(m_filename));
    finishLoading();
}

void EventManager::readInBackground()
{
    if (m_loaded || m_reading)
        return;
    auto reading = std::make_shared<Reading>();
    m_reading = reading;
    m_writer.run(
        m_filename,
        [reading, filename = m_filename](QString*) {
            // Whatever stops the read, the file is not taken for an empty log that the
            // next save would replace: it is set aside.
            try {
                *reading = read(filename);
            } catch (const std::exception& error) {
                qWarning().noquote().nospace()
                    << Tag << "WARN: Reading the events file failed : " << error.what();
                *reading = Reading();
                reading->unreadable = true;
            }
            return true;
        },
        [this](bool, const QString&) {
            // Within the writer's own call: queued to this object's thread, and dropped
            // with this object.
            QMetaObject::invokeMethod(this, &EventManager::finishLoading, Qt::QueuedConnection);
        });
}

EventManager::Reading EventManager::read(const QString& filename)
{
    Reading reading;
    if (!QFileInfo::exists(filename))
        return reading;
    QSettings file(filename, QSettings::IniFormat);
    if (file.status() != QSettings::NoError) {
        reading.unreadable = true;
        return reading;
    }
    // Every value of the file is parsed here, not only the events': Qt decodes a typed
    // value (@DateTime, @Variant) with its data stream reader, which a damaged one can
    // send after any amount of memory. That file is unreadable too.
    try {
        file.allKeys();
    } catch (const std::bad_alloc&) {
        reading.unreadable = true;
        return reading;
    }

    // The entries are found by what the file holds, not by its "size": a damaged
    // size (a billion, text, too small) must neither cost a read per missing entry
    // nor hide entries that are there.
    file.beginGroup(ArrayName);
    QList<int> indexes;
    for (const QString& group : file.childGroups()) {
        bool ok = false;
        const int index = group.toInt(&ok);
        if (ok && index >= 1)
            indexes.append(index);
    }
    std::sort(indexes.begin(), indexes.end());
    bool sizeValid = false;
    const QString declared = file.value(QStringLiteral("size")).toString();
    if ((declared.toInt(&sizeValid) != indexes.size() || !sizeValid)
        && !(declared.isEmpty() && indexes.isEmpty()))
        qWarning().noquote().nospace() << Tag << "WARN: The events file declares " << declared
                                       << " event(s) but holds " << indexes.size();
    if (indexes.size() > MaxEvents)
        indexes.erase(indexes.begin(), indexes.end() - MaxEvents);
    if (indexes.isEmpty())
        return reading;

    qInfo().noquote().nospace() << Tag
                                << QStringLiteral("Loading saved events : from=%1 to=%2")
                                       .arg(indexes.first() - 1)
                                       .arg(indexes.last());
    // A log repeats a handful of categories and names: each is kept once, shared.
    QSet<QString> texts;
    const auto shared = [&texts](const QVariant& value) { return *texts.insert(value.toString()); };
    reading.entries.reserve(indexes.size());
    for (int index : qAsConst(indexes)) {
        file.beginGroup(QString::number(index));
        const QDateTime stored = file.value(QStringLiteral("timestamp")).toDateTime();
        reading.entries.append({shared(file.value(QStringLiteral("category"))),
                                shared(file.value(QStringLiteral("name"))),
                                file.value(QStringLiteral("desc")).toString(), stored.toLocalTime(),
                                stored.toUTC()});
        file.endGroup();
    }
    return reading;
}

void EventManager::finishLoading()
{
    if (m_loaded || !m_reading)
        return;
    m_loaded = true;
    const std::shared_ptr<Reading> reading = std::move(m_reading);
    if (reading->unreadable)
        setAside(QStringLiteral("unreadable"));
    // Retention applies to what the file holds; what was logged since is this run's, even
    // if the clock has moved since.
    const QDateTime before = QDateTime::currentDateTime().addDays(-RetentionDays);
    QList<Event*> events;
    events.reserve(reading->entries.size());
    int removed = 0;
    for (const Entry& entry : qAsConst(reading->entries)) {
        if (!entry.timestamp.isValid() || entry.timestamp <= before) {
            ++removed;
            continue;
        }
        events.append(new Event(entry.category, entry.name, entry.description, entry.timestamp,
                                entry.instant, this));
    }
    logDeleted(removed, before);
    const bool logged = !m_data.isEmpty();
    m_data = events + m_data;
    while (m_data.size() > MaxEvents + 1)
        m_data.takeFirst()->deleteLater();
    if (removed > 0 || logged)
        save();
    update();
    Q_EMIT loaded();
}

// A file that cannot be read is moved out of the way rather than overwritten by
// the next save, so that whatever it holds can still be recovered.
void EventManager::setAside(const QString& reason)
{
    const QString kept = m_filename + QLatin1Char('.') + reason + QLatin1Char('-')
        + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddhhmmss"));
    // In its turn before the first save. A link (to a writable place) stays: its target
    // is what is set aside. Where that fails, no save may overwrite the file.
    m_writer.run(
        m_filename, [filename = m_filename, kept, unreadable = m_unreadable](QString* error) {
            const QFileInfo info(filename);
            const QString target = info.isSymLink() ? info.symLinkTarget() : filename;
            const QString keptTarget = target + kept.mid(filename.size());
            if (QFile::rename(target, keptTarget)) {
                qWarning().noquote().nospace()
                    << Tag << "WARN: Cannot read the events file " << filename << ", kept as "
                    << keptTarget << "; starting an empty log";
                return true;
            }
            unreadable->store(true);
            *error = QStringLiteral("it cannot be read, nor be kept aside as %1").arg(keptTarget);
            return false;
        });
}

void EventManager::save()
{
    // What the writer needs, as values: the events stay with this thread.
    QVector<Entry> entries;
    entries.reserve(m_data.size());
    for (const Event* event : qAsConst(m_data))
        entries.append({event->category(), event->name(), event->description(), event->timestamp(),
                        event->instant()});

    // Replaced as a whole: a kill or power cut in the middle of a save leaves the
    // previous log, never a truncated one. An unreadable file that could not be kept
    // aside is left as it is.
    m_writer.write(m_filename,
                   [filename = m_filename, entries = std::move(entries),
                    unreadable = m_unreadable](QString* error) {
                       if (unreadable->load()) {
                           *error = QStringLiteral(
                               "the unreadable file could not be kept aside, and stays");
                           return false;
                       }
                       return AtomicFile::writeSettings(
                           filename,
                           [&entries](QSettings& file) {
                               file.beginWriteArray(ArrayName, entries.size());
                               for (int i = 0; i < entries.size(); ++i) {
                                   const Entry& entry = entries.at(i);
                                   file.setArrayIndex(i);
                                   file.setValue(QStringLiteral("category"), entry.category);
                                   file.setValue(QStringLiteral("name"), entry.name);
                                   file.setValue(QStringLiteral("desc"), entry.description);
                                   // As an instant: a wall-clock reading would be an hour
                                   // off for the hour that repeats when summer time ends,
                                   // and off by the difference after a change of zone.
                                   file.setValue(QStringLiteral("timestamp"), entry.instant);
                               }
                               file.endArray();
                           },
                           error);
                   });
}

void EventManager::push(Event* event)
{
    if (!event || m_data.contains(event)) {
        qWarning().noquote().nospace() << Tag << "WARN: Ignoring an event that is "
                                       << (event ? "already in the log" : "missing");
        return;
    }
    event->setParent(this);
    // Until the file is read, events wait in their order, without a save: a save then
    // would replace the stored log with them. A read that does not end keeps no more than
    // the log would.
    if (!m_loaded) {
        if (m_data.size() > MaxEvents)
            m_data.takeFirst()->deleteLater();
        m_data.append(event);
        return;
    }
    if (m_data.size() > MaxEvents) {
        Event* oldest = m_data.takeFirst();
        m_visible.removeOne(oldest);
        oldest->deleteLater();
    }
    m_data.append(event);
    save();
    // A named period that has moved on with the clock changes more than this event's place.
    if (followClock()) {
        update();
        return;
    }

    // The view stays sorted: the new event goes in at its place.
    if (isVisible(event))
        m_visible.insert(std::lower_bound(m_visible.begin(), m_visible.end(), event, newerThan)
                             - m_visible.begin(),
                         event);
    Q_EMIT dataChanged();
}

void EventManager::clear(const QDateTime& before)
{
    ensureLoaded();
    int removed = 0;
    for (auto it = m_data.begin(); it != m_data.end();) {
        Event* event = *it;
        if (!event->timestamp().isValid() || event->timestamp() <= before) {
            event->deleteLater();
            it = m_data.erase(it);
            ++removed;
        } else {
            ++it;
        }
    }
    logDeleted(removed, before);
    if (removed > 0)
        save();
    update();
}

void EventManager::clear()
{
    ensureLoaded();
    if (m_data.isEmpty())
        return;
    for (Event* event : qAsConst(m_data))
        event->deleteLater();
    m_data.clear();
    save();
    update();
}

void EventManager::applyFilter(const QString& name)
{
    qInfo().noquote().nospace() << Tag << "Filtering : name=" << name;
    m_filterName = name;
    update();
}

void EventManager::applyFilter(int severity)
{
    qInfo().noquote().nospace() << Tag << "Filtering : severity=" << severity;
    m_filterSeverity = severity;
    update();
}

void EventManager::applyFilter(const QDateTime& from, const QDateTime& to)
{
    qInfo().noquote().nospace() << Tag << "Filtering : from=" << from.toString()
                                << " to=" << to.toString();
    m_period.clear();
    m_filterFrom = from;
    m_filterTo = to;
    update();
}

void EventManager::applyFilterPeriod(const QString& period)
{
    qInfo().noquote().nospace() << Tag << "Filtering (period) : " << period;
    const auto bounds = periodBounds(period, QDateTime::currentDateTime());
    applyFilter(bounds.first, bounds.second);
    // From now on the bounds follow the clock: "Today" is the new day after midnight or a
    // jump of the clock, and "Last hour" takes in what is logged after it was chosen.
    if (bounds.first.isValid() || bounds.second.isValid())
        m_period = period;
}

bool EventManager::followClock()
{
    if (m_period.isEmpty())
        return false;
    const auto bounds = periodBounds(m_period, QDateTime::currentDateTime());
    if (bounds.first == m_filterFrom && bounds.second == m_filterTo)
        return false;
    m_filterFrom = bounds.first;
    m_filterTo = bounds.second;
    return true;
}

QPair<QDateTime, QDateTime> EventManager::periodBounds(const QString& period, const QDateTime& now)
{
    const QDate today = now.date();
    // A day runs from its first moment (not midnight where summer time begins at midnight,
    // as in Beirut) to the end of its last second.
    if (period == QLatin1String("Last hour"))
        return {now.addSecs(-3600), now};
    if (period == QLatin1String("Last 2 hours"))
        return {now.addSecs(-7200), now};
    if (period == QLatin1String("Last 5 hours"))
        return {now.addSecs(-18000), now};
    if (period == QLatin1String("Today"))
        return {today.startOfDay(), today.endOfDay()};
    if (period == QLatin1String("Yesterday"))
        return {today.addDays(-1).startOfDay(), today.addDays(-1).endOfDay()};
    if (period == QLatin1String("Last week"))
        return {today.addDays(-7).startOfDay(), now};
    if (period == QLatin1String("Last month"))
        return {today.addMonths(-1).startOfDay(), now};
    return {};
}

bool EventManager::isVisible(const Event* event) const
{
    const QDateTime& time = event->timestamp();
    return (!m_filterFrom.isValid() || time >= m_filterFrom)
        && (!m_filterTo.isValid() || time <= m_filterTo)
        && (m_filterName.isEmpty() || event->name().contains(m_filterName, Qt::CaseInsensitive));
}

void EventManager::update()
{
    followClock();
    m_visible.clear();
    for (Event* event : qAsConst(m_data)) {
        if (isVisible(event))
            m_visible.append(event);
    }
    std::stable_sort(m_visible.begin(), m_visible.end(), newerThan);
    Q_EMIT dataChanged();
}
