#include "EventManager.h"

#include "AtomicFile.h"
#include "Config.h"
#include "Event.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSettings>
#include <QVector>

#include <algorithm>
#include <new>

namespace {

const char* const Tag = "[EventManager] ";
const QString ArrayName = QStringLiteral("events");

// Newest first; events without a time sort last.
bool newerThan(const QObject* a, const QObject* b)
{
    return static_cast<const Event*>(a)->timestamp() > static_cast<const Event*>(b)->timestamp();
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

// The events are children of the manager and go with it.
EventManager::~EventManager() = default;

void EventManager::ensureLoaded()
{
    if (m_loaded)
        return;
    m_loaded = true;
    load();
    clear(QDateTime::currentDateTime().addDays(-RetentionDays));
    Q_EMIT loaded();
}

void EventManager::load()
{
    if (!QFileInfo::exists(m_filename))
        return;
    QSettings file(m_filename, QSettings::IniFormat);
    if (file.status() != QSettings::NoError) {
        setAside(QStringLiteral("unreadable"));
        return;
    }
    // Every value of the file is parsed here, not only the events': Qt decodes a typed
    // value (@DateTime, @Variant) with its data stream reader, which a damaged one can
    // send after any amount of memory. That file is unreadable too.
    try {
        file.allKeys();
    } catch (const std::bad_alloc&) {
        setAside(QStringLiteral("unreadable"));
        return;
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
        return;

    qInfo().noquote().nospace() << Tag
                                << QStringLiteral("Loading saved events : from=%1 to=%2")
                                       .arg(indexes.first() - 1)
                                       .arg(indexes.last());
    // A log repeats a handful of categories and names: each is kept once, shared.
    QSet<QString> texts;
    const auto shared = [&texts](const QVariant& value) { return *texts.insert(value.toString()); };
    for (int index : qAsConst(indexes)) {
        file.beginGroup(QString::number(index));
        m_data.append(new Event(shared(file.value(QStringLiteral("category"))),
                                shared(file.value(QStringLiteral("name"))),
                                file.value(QStringLiteral("desc")).toString(),
                                file.value(QStringLiteral("timestamp")).toDateTime(), this));
        file.endGroup();
    }
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
    struct Entry
    {
        QString category;
        QString name;
        QString description;
        QDateTime timestamp;
    };
    QVector<Entry> entries;
    entries.reserve(m_data.size());
    for (const Event* event : qAsConst(m_data))
        entries.append(
            {event->category(), event->name(), event->description(), event->timestamp()});

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
                                   file.setValue(QStringLiteral("timestamp"), entry.timestamp);
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
    ensureLoaded();
    event->setParent(this);
    if (m_data.size() > MaxEvents) {
        Event* oldest = m_data.takeFirst();
        m_visible.removeOne(oldest);
        oldest->deleteLater();
    }
    m_data.append(event);
    save();

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
    qInfo().noquote().nospace() << Tag
                                << QStringLiteral("Deleted %1 event(s) older than %2")
                                       .arg(removed)
                                       .arg(before.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")));
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
    m_filterFrom = from;
    m_filterTo = to;
    update();
}

void EventManager::applyFilterPeriod(const QString& period)
{
    qInfo().noquote().nospace() << Tag << "Filtering (period) : " << period;
    const auto bounds = periodBounds(period, QDateTime::currentDateTime());
    applyFilter(bounds.first, bounds.second);
}

QPair<QDateTime, QDateTime> EventManager::periodBounds(const QString& period, const QDateTime& now)
{
    const QDate today = now.date();
    // The whole last second of a day belongs to it.
    const QTime endOfDay(23, 59, 59, 999);
    if (period == QLatin1String("Last hour"))
        return {now.addSecs(-3600), now};
    if (period == QLatin1String("Last 2 hours"))
        return {now.addSecs(-7200), now};
    if (period == QLatin1String("Last 5 hours"))
        return {now.addSecs(-18000), now};
    if (period == QLatin1String("Today"))
        return {QDateTime(today, QTime(0, 0)), QDateTime(today, endOfDay)};
    if (period == QLatin1String("Yesterday"))
        return {QDateTime(today.addDays(-1), QTime(0, 0)), QDateTime(today.addDays(-1), endOfDay)};
    if (period == QLatin1String("Last week"))
        return {QDateTime(today.addDays(-7), QTime(0, 0)), now};
    if (period == QLatin1String("Last month"))
        return {QDateTime(today.addMonths(-1), QTime(0, 0)), now};
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
    m_visible.clear();
    for (Event* event : qAsConst(m_data)) {
        if (isVisible(event))
            m_visible.append(event);
    }
    std::stable_sort(m_visible.begin(), m_visible.end(), newerThan);
    Q_EMIT dataChanged();
}
