#include "DeviceIdFile.h"

#include "Config.h"
#include "TaggedLog.h"

#include <QFile>

#include <algorithm>

namespace {
// Part of the GUI manager: its log lines carry the manager's tag.
const QString Tag_ = QStringLiteral("[GUIManager] ");
// A serial number file is a line of text; anything larger is not one.
constexpr qint64 MaxFileBytes = 64 * 1024;
} // namespace

DeviceIdFile::DeviceIdFile(Config& config, QObject* parent)
    : QObject(parent)
    , m_config(&config)
{
    connect(&m_writer, &FileWriter::writeFailed, this,
            [this](const QString& name, const QString& error) {
                tagged(qCritical(), Tag_) << "ERROR: Could not save device S/N to file : " << name
                                          << " (" << error << ")";
                Q_EMIT saveFailed(error);
            });
    connect(&m_writer, &FileWriter::writeRecovered, this, [this](const QString& name) {
        tagged(qInfo(), Tag_) << "Device id saved again to : " << name;
    });
}

QString DeviceIdFile::fileName() const
{
    return m_config->get(QStringLiteral("gui/deviceId")).toString();
}

void DeviceIdFile::load()
{
    const QString name = fileName();
    tagged(qInfo(), Tag_) << "Loading device id from : " << name;
    QFile file(name);
    QByteArray content;
    if (file.open(QIODevice::ReadOnly | QIODevice::Text))
        content = file.read(MaxFileBytes);
    if (!file.isOpen() || file.error() != QFileDevice::NoError) {
        tagged(qCritical(), Tag_) << "ERROR: Could not load device S/N from file : " << name << " ("
                                  << file.errorString() << ")";
        return;
    }
    const QList<QByteArray> lines = content.split('\n');
    for (const QByteArray& line : lines) {
        const QString id = QString::fromUtf8(line).trimmed();
        if (!id.isEmpty()) {
            m_id = id;
            Q_EMIT idChanged();
            return;
        }
    }
}

void DeviceIdFile::setId(const QString& value)
{
    const QString id = value.trimmed();
    // The file holds the id as its first line: an empty id or one that spans
    // lines could not be read back.
    const bool wellFormed = !id.isEmpty() && std::none_of(id.cbegin(), id.cend(), [](QChar c) {
        return c.category() == QChar::Other_Control;
    });
    if (!wellFormed) {
        tagged(qWarning(), Tag_) << "WARN: Ignoring invalid device id : '" << value << "'";
        return;
    }
    if (id == m_id)
        return;
    tagged(qWarning(), Tag_) << "Device ID changed : " << id;
    m_id = id;
    save();
    Q_EMIT idChanged();
}

void DeviceIdFile::save()
{
    const QString name = fileName();
    tagged(qInfo(), Tag_) << "Saving device id to : " << name;
    // Replaced as a whole, so that a kill or power cut while saving leaves the previous
    // id readable, never an empty file. A directory that allows no new file fails the
    // save (reported once) rather than risking the old id in an in-place write.
    m_writer.write(name, m_id.toUtf8());
}
