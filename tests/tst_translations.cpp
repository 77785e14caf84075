// The Greek translation is keyed by context and English text: a text changed or moved in
// the code silently loses it. Every entry must still be among the texts lupdate finds in
// the sources, and the compiled file in the resources must translate each.

#include <QProcess>
#include <QTemporaryDir>
#include <QTranslator>
#include <QXmlStreamReader>
#include <QtTest>

namespace {

// (context, source, translation) of every message of a .ts file.
QList<QStringList> readTs(const QString& path)
{
    QList<QStringList> messages;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return messages;
    QXmlStreamReader xml(&file);
    QStringList current {QString(), QString(), QString()};
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        const int field
            = QStringList {"name", "source", "translation"}.indexOf(xml.name().toString());
        if (field >= 0)
            current[field] = xml.readElementText();
        if (field == 2)
            messages.append(current);
    }
    return messages;
}

const QString TsFile = QStringLiteral(KVRT_SOURCE_DIR "/qml/translations/KVRTTerminalUI_el_GR.ts");

} // namespace

class TestTranslations : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void everyEntryStillMatchesATextInTheCode()
    {
        QTemporaryDir dir;
        QProcess lupdate;
        lupdate.start(KVRT_LUPDATE,
                      {"-silent", "-extensions", "cpp,h,qml,js", KVRT_SOURCE_DIR "/src",
                       KVRT_SOURCE_DIR "/qml", "-ts", dir.filePath("code.ts")});
        QVERIFY(lupdate.waitForFinished(120000) && lupdate.exitCode() == 0);
        QSet<QString> inCode;
        for (const QStringList& message : readTs(dir.filePath("code.ts")))
            inCode.insert(message[0] + " / " + message[1]);
        const QList<QStringList> committed = readTs(TsFile);
        QVERIFY(committed.size() >= 52);
        QStringList missing;
        // The maintenance pages' texts are translated ahead of those pages.
        for (const QStringList& message : committed) {
            if (!QStringList {"Login", "Main", "Unregistered"}.contains(message[0])
                && !inCode.contains(message[0] + " / " + message[1]))
                missing << message[0] + " / " + message[1];
        }
        QVERIFY2(missing.isEmpty(), qPrintable("no longer in the code: " + missing.join("; ")));

        QTranslator translator;
        QVERIFY(translator.load(":/qml/translations/KVRTTerminalUI_el_GR.qm"));
        for (const QStringList& message : committed)
            QCOMPARE(translator.translate(qPrintable(message[0]), qPrintable(message[1])),
                     message[2]);
    }
};

QTEST_GUILESS_MAIN(TestTranslations)
#include "tst_translations.moc"
