#pragma once

#include "FileWriter.h"

#include <QFileSystemWatcher>
#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

#include <atomic>
#include <memory>
#include <optional>

// The program's persistent key/value store. Keys are "group/name"; the file is an
// INI settings file with one section per group. Values start from a table of
// defaults, are updated from the file and by set()/fromJson(), and can be shadowed
// by overrides (the command line). Every change of a stored value is reported
// through configChanged(), including edits made to the file by someone else. The
// file is written on a thread of its own: see waitForWritten().
class Config : public QObject
{
    Q_OBJECT

public:
    Config(const QString& filename, const QVariantMap& defaults, QObject* parent = nullptr);

    // The effective value: override, else stored value, else default. Invalid for
    // a key nobody knows.
    QVariant get(const QString& key) const;
    // Stores a value, lifts an override of the key, reports and saves. A value
    // equal to the stored one does nothing.
    void set(const QString& key, const QVariant& value);

    QStringList keys() const;
    QVariantMap defaults() const;
    QString filename() const;

    // Entries of the given map win over existing ones. Neither saves nor emits.
    void addDefaults(const QVariantMap& defaults);
    void addOverrides(const QVariantMap& overrides);

    // Logs every effective value, one line per key.
    void print() const;

    // {"group": {"name": value, ...}, ...} of the stored values (not the overrides).
    QJsonObject toJson() const;
    // Takes the values of known keys from such an object; other members are ignored.
    Config& fromJson(const QJsonObject& object);

    // Blocks until the changes made so far are in the file (or could not be written),
    // at most `msecs` (-1: no limit). Whether they are all done. The destructor waits
    // too, a bounded time.
    bool waitForWritten(int msecs = -1);

Q_SIGNALS:
    // One entry per key whose stored value changed, holding the new value.
    void configChanged(const QVariantMap& changes);
    // Emitted just before configChanged() when the change came from an edit of the file.
    void configFileChanged();

private Q_SLOTS:
    void onFileChanged(const QString& path);
    void onDirectoryChanged(const QString& path);
    void onWritten();

private:
    void load();
    void save();
    QVariantMap readChanges();
    void watchFile();
    void unwatchFile();

    QString m_filename;
    QVariantMap m_settings;
    QVariantMap m_defaults;
    QVariantMap m_overrides;
    QFileSystemWatcher m_watch;
    // The file exists but could not be read at all (no permission, not a regular
    // file): it is not overwritten, so that nothing in it is lost.
    bool m_readFailed = false;
    // The file was read but has syntax errors: the next write copies it aside under a
    // time-stamped name and writes a fresh file with the values in force. Shared with
    // the writer's thread, which clears it once the copy is made.
    std::shared_ptr<std::atomic_bool> m_keepAside = std::make_shared<std::atomic_bool>(false);
    // What our last write put in the file: anything else found there once our writes
    // are done is an edit made meanwhile.
    std::optional<QByteArray> m_lastWritten;
    // Keys set at run time and not in the file yet: an edit of the file read meanwhile
    // does not take them back.
    QSet<QString> m_unsaved;
    FileWriter m_writer;
};
