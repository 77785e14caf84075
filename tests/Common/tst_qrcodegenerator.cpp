#include "MessageCapture.h"
#include "QrCodeGenerator.h"
#include "QrReader.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

using Ecc = qrcodegen::QrCode::Ecc;
Q_DECLARE_METATYPE(Ecc)

class tst_QrCodeGenerator : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void svgText_data();
    void svgText();
    void decodesBack_data();
    void decodesBack();
    void tooLongGivesNoImage();
};

void tst_QrCodeGenerator::svgText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("border");
    QTest::addColumn<Ecc>("ecc");
    QTest::addColumn<int>("extent");
    QTest::newRow("smallest symbol, border 1") << "OK" << 1 << Ecc::MEDIUM << 23;
    QTest::newRow("border 0: the symbol alone") << "OK" << 0 << Ecc::LOW << 21;
    QTest::newRow("larger symbol, border 4") << QString(100, 'x') << 4 << Ecc::HIGH << 0;
}

void tst_QrCodeGenerator::svgText()
{
    QFETCH(QString, text);
    QFETCH(int, border);
    QFETCH(Ecc, ecc);
    QFETCH(int, extent);

    const QString svg = QrCodeGenerator().generateSvgQr(text, border, ecc);
    const auto symbol = qrcodegen::QrCode::encodeText(text.toUtf8().constData(), ecc);
    const int size = symbol.getSize();
    if (extent)
        QCOMPARE(size + 2 * border, extent);

    const QString head = QStringLiteral(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><!DOCTYPE svg PUBLIC \"-//W3C//DTD SVG "
        "1.1//EN\" \"http://www.w3.org/Graphics/SVG/1.1/DTD/svg11.dtd\"><svg "
        "xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" viewBox=\"0 0 %1 %1\" "
        "stroke=\"none\"><rect width=\"100%\" height=\"100%\" fill=\"#FFFFFF\"/><path d=\"");
    const QString tail = QStringLiteral("\" fill=\"#000000\"/></svg>");
    QVERIFY(svg.startsWith(head.arg(size + 2 * border)));
    QVERIFY(svg.endsWith(tail));
    QVERIFY(!svg.contains('\n'));

    // The path: one unit square per dark module, offset by the border, row by row.
    QStringList squares;
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x)
            if (symbol.getModule(x, y))
                squares << QStringLiteral("M%1,%2h1v1h-1z").arg(x + border).arg(y + border);
    const int start = head.arg(size + 2 * border).size();
    QCOMPARE(svg.mid(start, svg.size() - start - tail.size()), squares.join(' '));
}

void tst_QrCodeGenerator::decodesBack_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("digits") << "0123456789";
    QTest::newRow("report fields")
        << "KVRT-0042;2026-01-05 09:30;SAM not present;;;OK;ERROR;MISSING";
    QTest::newRow("Greek, as UTF-8") << QStringLiteral("Διαγνωστικός έλεγχος");
}

void tst_QrCodeGenerator::decodesBack()
{
    if (!QrReader::available())
        QSKIP("zbarimg is not installed (Debian package zbar-tools): cannot read QR codes");
    QFETCH(QString, text);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    bool ok = false;
    QString error;
    const QString svg = QrCodeGenerator().generateSvgQr(text, 1, Ecc::MEDIUM);
    QCOMPARE(QrReader::decode(svg, dir.path(), &ok, &error), text);
    QVERIFY2(ok, qPrintable(error));
}

void tst_QrCodeGenerator::tooLongGivesNoImage()
{
    MessageCapture log;
    // More than the largest symbol holds at any level.
    QCOMPARE(QrCodeGenerator().generateSvgQr(QString(8000, 'z'), 1, Ecc::MEDIUM), QString());
    QCOMPARE(log.messages(QtWarningMsg).filter("[QrCodeGenerator] WARN: ").size(), 1);
    // Still usable afterwards.
    QVERIFY(!QrCodeGenerator().generateSvgQr("after", 1, Ecc::LOW).isEmpty());
}

QTEST_MAIN(tst_QrCodeGenerator)
#include "tst_qrcodegenerator.moc"
