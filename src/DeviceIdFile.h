#pragma once

#include <QObject>
#include <QString>

class Config;

// The device's serial number, kept as the first line with text of the file that the
// configuration key "gui/deviceId" names.
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

Q_SIGNALS:
    void idChanged();
    // The id is kept in memory, but the file could not be written.
    void saveFailed(const QString& error);

private:
    QString fileName() const;
    void save();

    Config* m_config;
    QString m_id;
};
