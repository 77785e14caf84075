#include "Config.h"

#include "AtomicFile.h"
#include "SecretMask.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonValue>
#include <QMap>
#include <QSettings>
#include <QTemporaryFile>

#include <algorithm>
#include <new>

namespace {

// A file with syntax errors is not lost when a fresh one replaces it: it is kept beside
// it for whoever wants to repair it. A copy, not a rename, so that there is a file at
// the name at every moment. Runs on the writer's thread.
bool copyAside(const QString& filename, QString* error)
{
    const QString aside = filename + QStringLiteral(".broken-")
        + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss-zzz"));
    QFile broken(filename);
    if (!broken.open(QIODevice::ReadOnly) || !AtomicFile::write(aside, broken.readAll(), error)) {
        *error
            = QStringLiteral("it has syntax errors and could not be copied aside to %1").arg(aside);
        return false;
    }
    qWarning().noquote().nospace()
        << "[Config] Config file with syntax errors copied to : " << aside << ". Writing a new "
        << filename;
    return true;
}

} // namespace

Config::Config(const QString& filename, const QVariantMap& defaults, QObject* parent)
    : QObject(parent)
    , m_filename(filename)
    , m_settings(defaults)
    , m_defaults(defaults)
{
    connect(&m_watch, &QFileSystemWatcher::fileChanged, this, &Config::onFileChanged);
    connect(&m_watch, &QFileSystemWatcher::directoryChanged, this, &Config::onDirectoryChanged);
    connect(&m_writer, &FileWriter::idle, this, &Config::onWritten);
    connect(&m_writer, &FileWriter::writeFailed, this,
            [this](const QString&, const QString& error) {
                qWarning().noquote().nospace()
                    << "[Config] Could not write config file : " << m_filename << " (" << error
                    << "). The values stay in force; the file is written again at the next change.";
            });
    connect(&m_writer, &FileWriter::writeRecovered, this, [this] {
        qInfo().noquote().nospace() << "[Config] Config file written again : " << m_filename;
    });

    if (!QFileInfo::exists(m_filename)) {
        qWarning().noquote().nospace() << "[Config] Creating default config file : " << m_filename;
        // Watched once written.
        save();
    } else {
        // Watch before reading, so that an edit made in between is not missed.
        watchFile();
    }
    load();
}

QVariant Config::get(const QString& key) const
{
    const auto overridden = m_overrides.constFind(key);
    if (overridden != m_overrides.constEnd())
        return overridden.value();
    const auto fallback = m_defaults.constFind(key);
    if (fallback != m_defaults.constEnd())
        return m_settings.value(key, fallback.value());
    return m_settings.value(key);
}

void Config::set(const QString& key, const QVariant& value)
{
    const auto stored = m_settings.constFind(key);
    if (stored != m_settings.constEnd() && stored.value() == value)
        return;

    // A value chosen at run time wins over the command line from now on.
    m_overrides.remove(key);
    m_settings.insert(key, value);
    m_unsaved.insert(key);
    Q_EMIT configChanged({{key, value}});
    save();
}

QStringList Config::keys() const
{
    return m_settings.keys();
}

QVariantMap Config::defaults() const
{
    return m_defaults;
}

QString Config::filename() const
{
    return m_filename;
}

void Config::addDefaults(const QVariantMap& defaults)
{
    for (auto it = defaults.constBegin(); it != defaults.constEnd(); ++it)
        m_defaults.insert(it.key(), it.value());
}

void Config::addOverrides(const QVariantMap& overrides)
{
    for (auto it = overrides.constBegin(); it != overrides.constEnd(); ++it)
        m_overrides.insert(it.key(), it.value());
}

void Config::print() const
{
    const QStringList allKeys = keys();
    int width = 0;
    for (const QString& key : allKeys)
        width = std::max(width, int(key.size()));

    const QString rule = QStringLiteral("[Config] ") + QString(60, QLatin1Char('-'));
    qInfo().noquote().nospace() << rule;
    qInfo().noquote().nospace() << "[Config]  SETTINGS (" << m_filename << ")";
    qInfo().noquote().nospace() << rule;
    for (const QString& key : allKeys) {
        QString value = get(key).toString();
        // Secrets stay out of the log (which ends up in syslog); only whether one is set shows.
        if (SecretMask::isSecretKey(key) && !value.isEmpty())
            value = SecretMask::mask();
        qInfo().noquote().nospace()
            << QStringLiteral("[Config]  %1 : %2").arg(key.leftJustified(width), value);
    }
    qInfo().noquote().nospace() << rule;
}

QJsonObject Config::toJson() const
{
    QMap<QString, QVariantMap> groups;
    for (auto it = m_settings.constBegin(); it != m_settings.constEnd(); ++it) {
        // Keys outside any group (an INI file's [General] section) have no place in
        // the two-level form, and fromJson() could not address them either.
        const int slash = it.key().indexOf(QLatin1Char('/'));
        if (slash <= 0)
            continue;
        groups[it.key().left(slash)].insert(it.key().mid(slash + 1), it.value());
    }

    QJsonObject result;
    for (auto it = groups.constBegin(); it != groups.constEnd(); ++it)
        result.insert(it.key(), QJsonDocument::fromVariant(it.value()).object());
    return result;
}

Config& Config::fromJson(const QJsonObject& object)
{
    QVariantMap changes;
    for (auto group = object.constBegin(); group != object.constEnd(); ++group) {
        if (!group.value().isObject()) {
            qWarning().noquote().nospace()
                << "[Config] Ignoring configuration group that is not an object : " << group.key();
            continue;
        }
        const QJsonObject names = group.value().toObject();
        for (auto name = names.constBegin(); name != names.constEnd(); ++name) {
            const QString key = group.key() + QLatin1Char('/') + name.key();
            const auto stored = m_settings.find(key);
            if (stored == m_settings.end()) {
                qWarning().noquote().nospace()
                    << "[Config] Ignoring unknown configuration key : " << key;
                continue;
            }
            // Every setting is a single text, number or flag; anything else could not
            // be written to the file and read back as the same value.
            const QJsonValue::Type type = name.value().type();
            if (type != QJsonValue::String && type != QJsonValue::Double
                && type != QJsonValue::Bool) {
                qWarning().noquote().nospace()
                    << "[Config] Ignoring configuration value that is not a text, number or flag : "
                    << key;
                continue;
            }
            // A JSON number is a double, whether or not it has a fraction.
            const QVariant value = type == QJsonValue::Double ? QVariant(name.value().toDouble())
                                                              : name.value().toVariant();
            if (stored.value() != value) {
                stored.value() = value;
                changes.insert(key, value);
                m_unsaved.insert(key);
            }
        }
    }

    if (!changes.isEmpty()) {
        save();
        Q_EMIT configChanged(changes);
    }
    return *this;
}

void Config::onFileChanged(const QString& path)
{
    Q_UNUSED(path)
    // A notice from before our own write, which replaces the file: once it is done,
    // the file is compared with what was written.
    if (m_writer.isBusy())
        return;
    // Watch again before reading: an editor that writes a copy and renames it over
    // the file leaves the old watch on a deleted file. An edit made after this point
    // raises a new notification; one made before it is seen by the read below.
    unwatchFile();
    watchFile();

    const QVariantMap changes = readChanges();
    if (!changes.isEmpty()) {
        Q_EMIT configFileChanged();
        Q_EMIT configChanged(changes);
    }
}

void Config::onDirectoryChanged(const QString& path)
{
    Q_UNUSED(path)
    // The directory is watched only while the file cannot be: see whether it can be now.
    if (QFileInfo(m_filename).isFile())
        onFileChanged(m_filename);
}

void Config::load()
{
    const QVariantMap changes = readChanges();
    if (!changes.isEmpty())
        Q_EMIT configChanged(changes);
}

void Config::save()
{
    if (m_readFailed && QFileInfo::exists(m_filename)) {
        qWarning().noquote().nospace()
            << "[Config] Not saving config file : " << m_filename
            << " (it could not be read, so writing it could lose its contents)";
        return;
    }

    // Our own writes must not come back as external edits: the file is watched again
    // once they are done.
    unwatchFile();
    // Replaced as a whole: a kill or power cut in the middle of a write leaves the
    // previous file, never a half-written one.
    m_writer.write(
        m_filename,
        [filename = m_filename, values = m_settings, keepAside = m_keepAside](QString* error) {
            if (keepAside->exchange(false) && QFileInfo(filename).isFile()
                && !copyAside(filename, error)) {
                keepAside->store(true);
                return false;
            }
            return AtomicFile::writeSettings(
                filename,
                [&values](QSettings& file) {
                    for (auto it = values.constBegin(); it != values.constEnd(); ++it)
                        file.setValue(it.key(), it.value());
                },
                error);
        });
}

bool Config::waitForWritten(int msecs)
{
    return m_writer.waitForWritten(msecs);
}

void Config::onWritten()
{
    watchFile();
    // After a failure the file is older than the values in force: they stay unsaved.
    if (m_writer.isFailing(m_filename) || !m_lastWritten)
        return;
    m_unsaved.clear();
    // An edit made after our last write, before the file was watched again.
    QFile file(m_filename);
    if (file.open(QIODevice::ReadOnly) && file.readAll() != *m_lastWritten)
        onFileChanged(m_filename);
}

QVariantMap Config::readChanges()
{
    QVariantMap changes;
    m_keepAside->store(false);
    const QFileInfo info(m_filename);
    if (!info.exists()) {
        // Nothing to read (not written yet, or being replaced), nothing to protect.
        m_readFailed = false;
        return changes;
    }

    QString problem;
    QByteArray contents;
    if (!info.isFile()) {
        problem = QStringLiteral("not a regular file");
    } else {
        QFile source(m_filename);
        if (source.open(QIODevice::ReadOnly))
            contents = source.readAll();
        else
            problem = source.errorString();
    }
    if (!problem.isEmpty()) {
        m_readFailed = true;
        qWarning().noquote().nospace()
            << "[Config] Cannot read config file : " << m_filename << " (" << problem
            << "). Keeping the current values; the file is left untouched.";
        return changes;
    }

    // Parse a private snapshot of the contents: QSettings caches parsed files by name
    // and trusts an unchanged size and millisecond time stamp, so an edit made within
    // a millisecond of the previous read could otherwise go unseen.
    QTemporaryFile snapshot(QDir::tempPath() + QStringLiteral("/kvrt-config-XXXXXX.conf"));
    const bool haveSnapshot
        = snapshot.open() && snapshot.write(contents) == contents.size() && snapshot.flush();
    QSettings file(haveSnapshot ? snapshot.fileName() : m_filename, QSettings::defaultFormat());
    // Qt decodes a typed value (@Variant, @DateTime) with its data stream reader, which a
    // damaged one can send after any amount of memory: such a file is malformed too.
    QStringList fileKeys;
    bool decoded = true;
    try {
        fileKeys = file.allKeys();
    } catch (const std::bad_alloc&) {
        decoded = false;
    }
    m_readFailed = false;
    const bool malformed = !decoded || file.status() != QSettings::NoError;
    m_keepAside->store(malformed);
    if (malformed) {
        qWarning().noquote().nospace()
            << "[Config] Config file has syntax errors : " << m_filename
            << ". Using the entries that could be read; the file is kept aside at the next save.";
    }

    for (const QString& key : fileKeys) {
        if (m_unsaved.contains(key))
            continue;
        const QVariant value = file.value(key);
        const auto stored = m_settings.constFind(key);
        if (stored == m_settings.constEnd() || stored.value() != value) {
            m_settings.insert(key, value);
            changes.insert(key, value);
        }
    }
    return changes;
}

void Config::watchFile()
{
    const QString directory = QFileInfo(m_filename).absolutePath();
    const QFileInfo info(m_filename);
    if (info.isFile() && info.isReadable()
        && (m_watch.files().contains(m_filename) || m_watch.addPath(m_filename))) {
        if (m_watch.directories().contains(directory))
            m_watch.removePath(directory);
        return;
    }

    // The file is missing, not a file, or may not be watched (no read permission):
    // watch its directory, which also reports changes of the file's permissions.
    if (!m_watch.directories().contains(directory))
        m_watch.addPath(directory);
    // It may have been created just before the directory watch was in place, in which
    // case no notification will come: look again from the event loop.
    const QFileInfo now(m_filename);
    if (now.isFile() && now.isReadable() && !info.isFile())
        QMetaObject::invokeMethod(
            this, [this] { onFileChanged(m_filename); }, Qt::QueuedConnection);
}

void Config::unwatchFile()
{
    if (m_watch.files().contains(m_filename))
        m_watch.removePath(m_filename);
    const QString directory = QFileInfo(m_filename).absolutePath();
    if (m_watch.directories().contains(directory))
        m_watch.removePath(directory);
}
