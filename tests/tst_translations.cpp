// The Greek translation is keyed by context and exact English source text: if a
// text in the code changes, or moves to another file or class, its translation
// silently stops applying. This test extracts the translatable texts from the
// sources with lupdate and checks that every entry of the translation file is
// still among them, and that the compiled file in the resources translates.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QTranslator>
#include <QXmlStreamReader>
#include <QtTest>

namespace {

struct Message
{
    QString context;
    QString source;
    QString translation;
};

QList<Message> readTs(const QString& path)
{
    QList<Message> messages;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return messages;
    QXmlStreamReader xml(&file);
    QString context;
    Message current;
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement())
            continue;
        if (xml.name() == QLatin1String("name"))
            context = xml.readElementText();
        else if (xml.name() == QLatin1String("message"))
            current = Message{context, {}, {}};
        else if (xml.name() == QLatin1String("source"))
            current.source = xml.readElementText();
        else if (xml.name() == QLatin1String("translation")) {
            current.translation = xml.readElementText();
            messages.append(current);
        }
    }
    return messages;
}

const QString tsPath = QStringLiteral(KVRT_SOURCE_DIR "/qml/translations/KVRTTerminalUI_el_GR.ts");

// Contexts of the maintenance area's pages, whose texts the translation already
// carries although those pages are not part of the application yet.
const QSet<QString> pendingContexts = {QStringLiteral("Login"), QStringLiteral("Main"),
                                       QStringLiteral("Unregistered")};

} // namespace

class TestTranslations : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void everyEntryStillMatchesATextInTheCode()
    {
        const QList<Message> committed = readTs(tsPath);
        QVERIFY2(committed.size() >= 52, qPrintable(QString::number(committed.size())));

        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString extracted = dir.filePath("extracted.ts");
        QProcess lupdate;
        lupdate.setProcessChannelMode(QProcess::MergedChannels);
        lupdate.start(QStringLiteral(KVRT_LUPDATE),
                      {"-silent", "-extensions", "cpp,h,qml,js", KVRT_SOURCE_DIR "/src",
                       KVRT_SOURCE_DIR "/qml", "-ts", extracted});
        QVERIFY(lupdate.waitForFinished(120000));
        QCOMPARE(lupdate.exitCode(), 0);

        QSet<QPair<QString, QString>> inCode;
        for (const Message& m : readTs(extracted))
            inCode.insert({m.context, m.source});

        QStringList missing;
        for (const Message& m : committed) {
            if (pendingContexts.contains(m.context))
                continue;
            if (!inCode.contains({m.context, m.source}))
                missing << m.context + " / " + m.source;
        }
        QVERIFY2(missing.isEmpty(), qPrintable("no longer in the code: " + missing.join("; ")));
    }

    void compiledTranslationIsInTheResources()
    {
        QTranslator translator;
        QVERIFY(translator.load(":/qml/translations/KVRTTerminalUI_el_GR.qm"));
        for (const Message& m : readTs(tsPath)) {
            QCOMPARE(translator.translate(m.context.toUtf8(), m.source.toUtf8()), m.translation);
        }
    }
};

QTEST_GUILESS_MAIN(TestTranslations)
#include "tst_translations.moc"
