#include "DeviceIdFile.h"

#include "Config.h"
#include "TaggedLog.h"

#include <QFile>

#include <algorithm>
#include <memory>

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
    // Every save that fails is told: the registration page shows it.
    connect(&m_writer, &FileWriter::finished, this,
            [this](const QString& name, bool written, const QString& error) {
                if (written)
                    return;
                tagged(qCritical(), Tag_) << "ERROR: Could not save device S/N to file : " << name
                                          << " (" << error << ")";
                Q_EMIT saveFailed(error);
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
    if (!m_writer.isBusy()) {
        apply(read(name));
        return;
    }
    // A save is under way, perhaps of this very file: read after it, in its turn.
    auto result = std::make_shared<Reading>();
    m_writer.run(
        name, [name, result](QString*) { return *result = read(name), true; },
        [this, result](bool, const QString&) { apply(*result); });
}

DeviceIdFile::Reading DeviceIdFile::read(const QString& name)
{
    Reading result {name, {}, {}};
    QFile file(name);
    QByteArray content;
    if (file.open(QIODevice::ReadOnly | QIODevice::Text))
        content = file.read(MaxFileBytes);
    if (!file.isOpen() || file.error() != QFileDevice::NoError) {
        result.error
            = file.errorString().isEmpty() ? QStringLiteral("cannot read") : file.errorString();
        return result;
    }
    const QList<QByteArray> lines = content.split('\n');
    for (const QByteArray& line : lines) {
        const QString id = QString::fromUtf8(line).trimmed();
        if (!id.isEmpty()) {
            result.id = id;
            break;
        }
    }
    return result;
}

void DeviceIdFile::apply(const Reading& reading)
{
    if (!reading.error.isEmpty()) {
        tagged(qCritical(), Tag_) << "ERROR: Could not load device S/N from file : " << reading.name
                                  << " (" << reading.error << ")";
        return;
    }
    // A file with no id keeps the one there is.
    if (reading.id.isEmpty())
        return;
    m_id = reading.id;
    Q_EMIT idChanged();
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
