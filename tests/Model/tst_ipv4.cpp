// Ethernet settings: which address text is taken, and the first fault of a configuration.

#include "Ethernet.h"

#include <QtTest>

class TestIPv4 : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // What may be typed into an address field, and what is taken as an address.
    void checkInput_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("typed");
        QTest::addColumn<bool>("address");
        QTest::newRow("empty") << "" << true << false;
        for (const char* good : {"0.0.0.0", "192.168.1.10", "255.255.255.0", "10.0.249.1"})
            QTest::newRow(good) << good << true << true;
        for (const char* bad :
             {"256.1.1.1", "1.2.3", "1.2.3.4.5", "1.2.3.4.", "1234", "a.b.c.d", " 1.2.3.4",
              "1.2.3.4\n", "1.2.3.-4", "1..2.3", "1.2.3.1000", "1.2.3.\u0664"})
            QTest::newRow(bad) << QString::fromUtf8(bad) << false << false;
        QTest::newRow("leading zero") << "01.2.3.4" << false << true;
    }
    void checkInput()
    {
        QFETCH(QString, text);
        QFETCH(bool, typed);
        QFETCH(bool, address);
        QCOMPARE(IPv4::checkInput(text), typed);
        QCOMPARE(IPv4::isAddress(text), address);
    }
    void checkConfig_data()
    {
        QTest::addColumn<QStringList>("fields"); // method, address, netmask, gateway, dns0, dns1
        QTest::addColumn<QString>("message");
        const QString ok = "10.0.0.2", mask = "255.255.255.0", bad = "10.0.0";
        QTest::newRow("auto") << QStringList {"auto", "", bad, bad, bad, bad} << "";
        QTest::newRow("manual, minimal") << QStringList {"manual", ok, mask, "", "", ""} << "";
        const QString empty = "IPv4 %1 cannot be empty in 'manual' mode";
        QTest::newRow("no address") << QStringList {"manual", "", "", bad} << empty.arg("address");
        QTest::newRow("no mask") << QStringList {"manual", bad, "", bad} << empty.arg("netmask");
        const QStringList names {"address", "netmask", "gateway", "DNS #0", "DNS #1"};
        for (int i = 0; i < names.size(); ++i) {
            QStringList fields {"manual", ok, mask, ok, ok, ok};
            for (int j = i + 1; j <= names.size(); ++j)
                fields[j] = bad; // later faults do not hide the first
            QTest::newRow(qPrintable("bad " + names[i]))
                << fields << "IPv4 " + names[i] + " is not a valid IP address";
        }
    }
    void checkConfig()
    {
        QFETCH(QStringList, fields);
        QFETCH(QString, message);
        // Fields not given in a row are empty.
        QCOMPARE(manager::Ethernet::checkConfig(fields.value(0), fields.value(1), fields.value(2),
                                                fields.value(3), fields.value(4), fields.value(5)),
                 message);
    }
};

QTEST_GUILESS_MAIN(TestIPv4)
#include "tst_ipv4.moc"
