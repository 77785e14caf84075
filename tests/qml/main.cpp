// Runner of the QML tests: the terminal's style, version and StandInManager (module
// KVRTTest), a stand-in for the GUI manager that records the calls the pages make.

#include "GatePassage.h"
#include "Transaction.h"
#include "Version.h"

#include <QQmlContext>
#include <QQuickStyle>
#include <QTranslator>
#include <QtQml>
#include <QtQuickTest>

#include "QuickSanitizerOptions.h"

class StandInManager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString screen MEMBER m_screen NOTIFY screenChanged)
    Q_PROPERTY(QString language READ language WRITE setLanguage NOTIFY languageChanged)
    Q_PROPERTY(QString dynTr READ dynTr NOTIFY languageChanged)
    // The pages follow no other change by name: one signal for the rest.
    Q_PROPERTY(QString deviceId MEMBER m_deviceId NOTIFY changed)
    Q_PROPERTY(QString message MEMBER m_message NOTIFY changed)
    Q_PROPERTY(bool showCursor MEMBER m_showCursor NOTIFY changed)
    Q_PROPERTY(QColor screenSaverBg MEMBER m_screenSaverBg NOTIFY changed)
    Q_PROPERTY(QString screenSaverImg MEMBER m_screenSaverImg NOTIFY changed)
    Q_PROPERTY(bool isEntryGate MEMBER m_isEntryGate NOTIFY changed)
    Q_PROPERTY(bool errorOccured MEMBER m_errorOccured NOTIFY changed)
    Q_PROPERTY(QString errorMessageScreen MEMBER m_errorMessageScreen NOTIFY changed)
    Q_PROPERTY(GatePassage* passage READ passage CONSTANT)
    // What the pages asked for: "issueCard", "setMaintenanceScreen", "save <id>",
    // "shutdownRequest".
    Q_PROPERTY(QStringList calls MEMBER m_calls NOTIFY changed)

public:
    StandInManager() { m_passage.follow(this); }
    GatePassage* passage() { return &m_passage; }
    bool errorOccured() const { return m_errorOccured; }
    QString language() const { return m_language; }
    QString dynTr() const { return QString(); }
    void setLanguage(const QString& value)
    {
        static QTranslator translator;
        if (translator.isEmpty() && !translator.load(":/qml/translations/KVRTTerminalUI_el_GR.qm"))
            qFatal("no translation in the resources");
        if (QLocale(value).language() == QLocale::English)
            QCoreApplication::removeTranslator(&translator);
        else
            QCoreApplication::installTranslator(&translator);
        m_language = value;
        Q_EMIT languageChanged();
    }

    Q_INVOKABLE void reportError(const QString& error) { Q_EMIT errorOccured(error); }
    Q_INVOKABLE void setTransaction(const QVariantMap& transaction)
    {
        qmlContext(this)->engine()->rootContext()->setContextProperty("transaction", transaction);
    }
    Q_INVOKABLE QVariantMap emptyTransaction() const { return Transaction().toMap(); }

Q_SIGNALS:
    void screenChanged();
    void languageChanged();
    void changed();
    void errorOccured(QString error);
    void processStarted();
    void processFinished();
    void resetInitialScreen();

public Q_SLOTS:
    void issueCard() { m_calls << "issueCard", Q_EMIT changed(); }
    void setMaintenanceScreen() { m_calls << "setMaintenanceScreen", Q_EMIT changed(); }
    void saveDeviceIdRequest(const QString& id) { m_calls << "save " + id, Q_EMIT changed(); }
    void shutdownRequest() { m_calls << "shutdownRequest", Q_EMIT changed(); }

private:
    QString m_screen, m_deviceId, m_language, m_message, m_errorMessageScreen;
    QString m_screenSaverImg = "qrc:/qml/images/Icons/pelmo-logo-top-gr.svg";
    QColor m_screenSaverBg = Qt::black;
    bool m_showCursor = true, m_isEntryGate = true, m_errorOccured = false;
    QStringList m_calls;
    GatePassage m_passage;
};

class Setup : public QObject
{
    Q_OBJECT

public Q_SLOTS:
    void applicationAvailable()
    {
        QCoreApplication::setApplicationVersion(QString::fromLatin1(kvrt::ApplicationVersion));
        qputenv("QT_QUICK_CONTROLS_CONF", ":/qml/qtquickcontrols2.conf");
        QQuickStyle::setStyle(QStringLiteral("Material"));
        qmlRegisterType<StandInManager>("KVRTTest", 1, 0, "StandInManager");
        GatePassage::registerQmlType();
    }
};

QUICK_TEST_MAIN_WITH_SETUP(tst_qml, Setup)
#include "main.moc"
