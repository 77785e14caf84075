#include "MessageCapture.h"
#include "QrCodeGenerator.h"
#include "QrReader.h"

#include <QTemporaryDir>
#include <QtTest>

using Ecc = qrcodegen::QrCode::Ecc;
Q_DECLARE_METATYPE(Ecc)

class tst_QrCodeGenerator : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void symbol_data();
    void symbol();
    void tooLongGivesNoImage();
};

void tst_QrCodeGenerator::symbol_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("border");
    QTest::addColumn<Ecc>("ecc");
    QTest::newRow("smallest symbol, border 1") << "0123456789" << 1 << Ecc::MEDIUM;
    QTest::newRow("border 0: first square at the origin") << "OK" << 0 << Ecc::LOW;
    QTest::newRow("report fields")
        << "KVRT-42;2026-01-05 09:30;SAM not present;;;OK;ERROR" << 4 << Ecc::HIGH;
    QTest::newRow("Greek, as UTF-8") << QStringLiteral("Διαγνωστικός έλεγχος") << 1 << Ecc::MEDIUM;
}

void tst_QrCodeGenerator::symbol()
{
    QFETCH(QString, text);
    QFETCH(int, border);
    QFETCH(Ecc, ecc);

    const QString svg = QrCodeGenerator().generateSvgQr(text, border, ecc);
    const auto qr = qrcodegen::QrCode::encodeText(text.toUtf8().constData(), ecc);
    // One unit square per dark module, offset by the border, row by row.
    QStringList squares;
    for (int y = 0; y < qr.getSize(); ++y)
        for (int x = 0; x < qr.getSize(); ++x)
            if (qr.getModule(x, y))
                squares << QStringLiteral("M%1,%2h1v1h-1z").arg(x + border).arg(y + border);
    const QString expected = QStringLiteral(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><!DOCTYPE svg PUBLIC \"-//W3C//DTD SVG "
        "1.1//EN\" \"http://www.w3.org/Graphics/SVG/1.1/DTD/svg11.dtd\"><svg "
        "xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" viewBox=\"0 0 %1 %1\" "
        "stroke=\"none\"><rect width=\"100%\" height=\"100%\" fill=\"#FFFFFF\"/><path d=\"%2\" "
        "fill=\"#000000\"/></svg>");
    QCOMPARE(svg, expected.arg(qr.getSize() + 2 * border).arg(squares.join(' ')));
    if (QTest::currentDataTag() == QLatin1String("smallest symbol, border 1"))
        QVERIFY(svg.contains("viewBox=\"0 0 23 23\""));

    if (!QrReader::available())
        QSKIP("zbarimg is not installed (Debian package zbar-tools): cannot read QR codes");
    QTemporaryDir dir;
    bool ok = false;
    QString error;
    QCOMPARE(QrReader::decode(svg, dir.path(), &ok, &error), text);
    QVERIFY2(ok, qPrintable(error));
}

void tst_QrCodeGenerator::tooLongGivesNoImage()
{
    MessageCapture log;
    // More than the largest symbol holds: the library's exception must not escape.
    QCOMPARE(QrCodeGenerator().generateSvgQr(QString(8000, 'z'), 1, Ecc::MEDIUM), QString());
    QCOMPARE(log.messages(QtWarningMsg).filter("[QrCodeGenerator] WARN: ").size(), 1);
}

QTEST_MAIN(tst_QrCodeGenerator)
#include "tst_qrcodegenerator.moc"
