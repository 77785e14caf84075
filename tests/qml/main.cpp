// Runner of the QML tests. Gives them what the terminal gives its pages: the
// Material style with the application's style file, the version, a stand-in
// for the GUI manager (type StandInManager in module KVRTTest, with the real
// manager's property and signal names and its translation switch), and the
// `transaction` context property, replaceable through `testSupport`.

#include "Version.h"

#include <QCoreApplication>
#include <QLocale>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickStyle>
#include <QTranslator>
#include <QVariantMap>
#include <QtQml>
#include <QtQuickTest>

namespace {

constexpr const char* TranslationFile = ":/qml/translations/KVRTTerminalUI_el_GR.qm";

// The summary map of a validation as the manager publishes it, for an empty one.
QVariantMap emptyTransaction()
{
    QVariantMap details {{"fromStopGroupName", QString()},
                         {"toStopGroupName", QString()},
                         {"deducted", 0.0},
                         {"remaining", 0.0},
                         {"activationTimestamp", QDateTime()},
                         {"expires", QDateTime()},
                         {"transferRemainingMin", 0}};
    return {{"valid", false},
            {"type", 0},
            {"denyReason", QStringLiteral("Unknown Error")},
            {"denyReasonId", 0},
            {"fareProduct", QString()},
            {"passengeType", QString()},
            {"details", details}};
}

} // namespace

#if defined(__SANITIZE_ADDRESS__)
// Under the sanitizer: Qt's pixmap cache keeps the images of the pages loaded
// by one test file's engine until the process ends once more than one engine
// has run, and Qt Test and the offscreen platform keep their logger and screen;
// none of it is ours. Full stacks are needed to tell those apart from our code.
extern "C" const char* __asan_default_options()
{
    return "fast_unwind_on_malloc=0";
}

extern "C" const char* __lsan_default_suppressions()
{
    return "leak:QQuickPixmap::load\n"
           "leak:QTestLog::addLogger\n"
           "leak:libqoffscreen\n"
           "leak:QPlatformScreen::QPlatformScreen\n"
           "leak:QWindowSystemInterface::handleScreenAdded\n";
}
#endif

// Stands in for GUIManager: same names for what the pages use, plain storage,
// and a record of the calls the pages make.
class StandInManager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString screen READ screen WRITE setScreen NOTIFY screenChanged)
    Q_PROPERTY(QString deviceId READ deviceId WRITE setDeviceId NOTIFY deviceIdChanged)
    Q_PROPERTY(QString language READ language WRITE setLanguage NOTIFY languageChanged)
    Q_PROPERTY(QString dynTr READ dynTr NOTIFY languageChanged)
    Q_PROPERTY(QString message READ message WRITE setMessage NOTIFY messageChanged)
    Q_PROPERTY(bool showCursor READ showCursor WRITE setShowCursor NOTIFY showCursorChanged)
    Q_PROPERTY(
        QColor screenSaverBg READ screenSaverBg WRITE setScreenSaverBg NOTIFY screenSaverBgChanged)
    Q_PROPERTY(QString screenSaverImg READ screenSaverImg WRITE setScreenSaverImg NOTIFY
                   screenSaverImgChanged)
    Q_PROPERTY(bool isEntryGate READ isEntryGate WRITE setIsEntryGate NOTIFY isEntryGateChanged)
    Q_PROPERTY(bool errorOccured READ errorOccured WRITE setErrorOccured NOTIFY errorOccuredChanged)
    Q_PROPERTY(QString errorMessageScreen READ errorMessageScreen WRITE setErrorMessageScreen NOTIFY
                   errorMessageScreenChanged)

    // What the pages asked for.
    Q_PROPERTY(int issueCardCalls MEMBER m_issueCardCalls NOTIFY callsChanged)
    Q_PROPERTY(int maintenanceCalls MEMBER m_maintenanceCalls NOTIFY callsChanged)
    Q_PROPERTY(QStringList savedDeviceIds MEMBER m_savedDeviceIds NOTIFY callsChanged)

public:
    using QObject::QObject;

    QString screen() const { return m_screen; }
    void setScreen(const QString& value)
    {
        if (value == m_screen)
            return;
        m_screen = value;
        Q_EMIT screenChanged();
    }

    QString deviceId() const { return m_deviceId; }
    void setDeviceId(const QString& value)
    {
        if (value == m_deviceId)
            return;
        m_deviceId = value;
        Q_EMIT deviceIdChanged();
    }

    QString language() const { return m_language; }
    // Like the manager: one Greek translation, removed for English locales.
    void setLanguage(const QString& value)
    {
        if (value == m_language)
            return;
        static QTranslator translator;
        if (translator.isEmpty() && !translator.load(QString::fromLatin1(TranslationFile))) {
            qCritical("Failed to load %s", TranslationFile);
            return;
        }
        if (QLocale(value).language() == QLocale::English)
            QCoreApplication::removeTranslator(&translator);
        else
            QCoreApplication::installTranslator(&translator);
        m_language = value;
        Q_EMIT languageChanged();
    }

    QString dynTr() const { return QString(); }

    QString message() const { return m_message; }
    void setMessage(const QString& value)
    {
        if (value == m_message)
            return;
        m_message = value;
        Q_EMIT messageChanged();
    }

    bool showCursor() const { return m_showCursor; }
    void setShowCursor(bool value)
    {
        if (value == m_showCursor)
            return;
        m_showCursor = value;
        Q_EMIT showCursorChanged();
    }

    QColor screenSaverBg() const { return m_screenSaverBg; }
    void setScreenSaverBg(const QColor& value)
    {
        if (value == m_screenSaverBg)
            return;
        m_screenSaverBg = value;
        Q_EMIT screenSaverBgChanged();
    }

    QString screenSaverImg() const { return m_screenSaverImg; }
    void setScreenSaverImg(const QString& value)
    {
        if (value == m_screenSaverImg)
            return;
        m_screenSaverImg = value;
        Q_EMIT screenSaverImgChanged();
    }

    bool isEntryGate() const { return m_isEntryGate; }
    void setIsEntryGate(bool value)
    {
        if (value == m_isEntryGate)
            return;
        m_isEntryGate = value;
        Q_EMIT isEntryGateChanged();
    }

    bool errorOccured() const { return m_errorOccured; }
    void setErrorOccured(bool value)
    {
        if (value == m_errorOccured)
            return;
        m_errorOccured = value;
        Q_EMIT errorOccuredChanged();
    }

    QString errorMessageScreen() const { return m_errorMessageScreen; }
    void setErrorMessageScreen(const QString& value)
    {
        if (value == m_errorMessageScreen)
            return;
        m_errorMessageScreen = value;
        Q_EMIT errorMessageScreenChanged();
    }

    // The manager's error report (the signal shares its name with the property).
    Q_INVOKABLE void reportError(const QString& error) { Q_EMIT errorOccured(error); }

Q_SIGNALS:
    void screenChanged();
    void deviceIdChanged();
    void languageChanged();
    void errorMessageScreenChanged();
    void messageChanged();
    void showCursorChanged();
    void isEntryGateChanged();
    void errorOccuredChanged();
    void errorOccured(QString error);
    void screenSaverBgChanged();
    void screenSaverImgChanged();
    void processStarted();
    void processFinished();
    void resetInitialScreen();
    void callsChanged();

public Q_SLOTS:
    void issueCard()
    {
        ++m_issueCardCalls;
        Q_EMIT callsChanged();
    }
    void setMaintenanceScreen()
    {
        ++m_maintenanceCalls;
        Q_EMIT callsChanged();
    }
    void saveDeviceIdRequest(const QString& deviceId)
    {
        m_savedDeviceIds.append(deviceId);
        Q_EMIT callsChanged();
    }

private:
    QString m_screen;
    QString m_deviceId;
    QString m_language = QStringLiteral("en_US");
    QString m_message;
    bool m_showCursor = true;
    QColor m_screenSaverBg = QColor(Qt::black);
    QString m_screenSaverImg = QStringLiteral("qrc:/qml/images/Icons/pelmo-logo-top-gr.svg");
    bool m_isEntryGate = true;
    bool m_errorOccured = false;
    QString m_errorMessageScreen;
    int m_issueCardCalls = 0;
    int m_maintenanceCalls = 0;
    QStringList m_savedDeviceIds;
};

// Per engine helpers: replace the `transaction` context property as the manager
// does after a validation, and tell where screenshots go (none when empty).
class TestSupport : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString screenshotDir READ screenshotDir CONSTANT)

public:
    explicit TestSupport(QQmlEngine* engine)
        : QObject(engine)
        , m_engine(engine)
    { }

    QString screenshotDir() const { return qEnvironmentVariable("KVRT_SCREENSHOT_DIR"); }

    Q_INVOKABLE void setTransaction(const QVariantMap& transaction)
    {
        m_engine->rootContext()->setContextProperty(QStringLiteral("transaction"), transaction);
    }
    Q_INVOKABLE QVariantMap emptyTransaction() const { return ::emptyTransaction(); }

private:
    QQmlEngine* m_engine;
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
    }

    void qmlEngineAvailable(QQmlEngine* engine)
    {
        engine->rootContext()->setContextProperty(QStringLiteral("transaction"),
                                                  emptyTransaction());
        engine->rootContext()->setContextProperty(QStringLiteral("testSupport"),
                                                  new TestSupport(engine));
    }
};

QUICK_TEST_MAIN_WITH_SETUP(tst_qml, Setup)

#include "main.moc"
