#pragma once

#include "FileWriter.h"

#include <QObject>
#include <QString>

class Config;

// The device's serial number, kept as the first line with text of the file that the
// configuration key "gui/deviceId" names. The file is written on a thread of its own.
class DeviceIdFile : public QObject
{
    Q_OBJECT

public:
    explicit DeviceIdFile(Config& config, QObject* parent = nullptr);

    // The live id: a reference stays current across changes.
    const QString& id() const { return m_id; }
    // Reads the id from the file; a file that cannot be read, or holds no id, keeps
    // the one there is.
    void load();
    // Takes a new id and writes it to the file. Text that could not be read back as
    // an id is refused.
    void setId(const QString& value);
    // Blocks until the id is in the file (or could not be written), at most `msecs`
    // (-1: no limit). Whether it is done. The destructor waits too, a bounded time.
    bool waitForWritten(int msecs = -1) { return m_writer.waitForWritten(msecs); }

Q_SIGNALS:
    void idChanged();
    // The id is kept in memory, but the file could not be written.
    void saveFailed(const QString& error);

private:
    struct Reading
    {
        QString name;
        QString id; // empty: the file holds none
        QString error; // empty: read
    };
    static Reading read(const QString& name);
    void apply(const Reading& reading);
    QString fileName() const;
    void save();

    Config* m_config;
    QString m_id;
    FileWriter m_writer;
};
