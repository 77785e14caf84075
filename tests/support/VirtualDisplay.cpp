#include "VirtualDisplay.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

namespace {
constexpr int StartTimeoutMs = 20000;
} // namespace

VirtualDisplay::VirtualDisplay() = default;

VirtualDisplay::~VirtualDisplay()
{
    stop();
}

QString VirtualDisplay::missingTools(const QStringList& programs)
{
    QStringList missing;
    for (const QString& program : programs) {
        if (QStandardPaths::findExecutable(program).isEmpty())
            missing.append(program);
    }
    return missing.join(QStringLiteral(", "));
}

bool VirtualDisplay::start(const QSize& size, int depth)
{
    if (isRunning())
        return true;
    m_server = std::make_unique<QProcess>();
    m_server->setProcessChannelMode(QProcess::SeparateChannels);
    // With -displayfd the server takes the first free display number and writes it
    // to the descriptor once it accepts clients: no guessing, no race with another
    // server starting at the same time.
    const QString screen
        = QStringLiteral("%1x%2x%3").arg(size.width()).arg(size.height()).arg(depth);
    m_server->start(QStringLiteral("Xvfb"),
                    {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                     QStringLiteral("0"), screen, QStringLiteral("-nolisten"),
                     QStringLiteral("tcp"), QStringLiteral("-noreset")});
    if (!m_server->waitForStarted(StartTimeoutMs)) {
        qWarning().noquote() << "VirtualDisplay: Xvfb did not start:" << m_server->errorString();
        m_server.reset();
        return false;
    }
    QByteArray output;
    QElapsedTimer timer;
    timer.start();
    while (!output.contains('\n') && timer.elapsed() < StartTimeoutMs
           && m_server->state() == QProcess::Running) {
        m_server->waitForReadyRead(200);
        output += m_server->readAllStandardOutput();
    }
    bool ok = false;
    const int number = output.trimmed().toInt(&ok);
    if (!ok) {
        qWarning().noquote() << "VirtualDisplay: Xvfb gave no display number:"
                             << QString::fromLocal8Bit(m_server->readAllStandardError());
        stop();
        return false;
    }
    m_name = QStringLiteral(":%1").arg(number);
    m_size = size;
    return true;
}

void VirtualDisplay::stop()
{
    if (!m_server)
        return;
    if (m_server->state() != QProcess::NotRunning) {
        m_server->terminate();
        if (!m_server->waitForFinished(10000)) {
            m_server->kill();
            m_server->waitForFinished(10000);
        }
    }
    m_server.reset();
    m_name.clear();
}

bool VirtualDisplay::isRunning() const
{
    return m_server && m_server->state() == QProcess::Running;
}

QProcessEnvironment VirtualDisplay::environment(const QProcessEnvironment& base) const
{
    QProcessEnvironment environment = base;
    environment.insert(QStringLiteral("DISPLAY"), m_name);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.insert(QStringLiteral("QT_QUICK_BACKEND"), QStringLiteral("software"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    return environment;
}

bool VirtualDisplay::click(int x, int y)
{
    return runTool(QStringLiteral("xdotool"),
                   {QStringLiteral("mousemove"), QString::number(x), QString::number(y),
                    QStringLiteral("click"), QStringLiteral("1")});
}

bool VirtualDisplay::type(const QString& text)
{
    return runTool(QStringLiteral("xdotool"),
                   {QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("50"), text});
}

bool VirtualDisplay::grab(const QString& pngFile)
{
    if (!runTool(QStringLiteral("import"),
                 {QStringLiteral("-window"), QStringLiteral("root"), pngFile}))
        return false;
    return QFileInfo(pngFile).size() > 0;
}

bool VirtualDisplay::runTool(const QString& program, const QStringList& arguments, int timeoutMs)
{
    if (!isRunning()) {
        qWarning().noquote() << "VirtualDisplay:" << program << "needs a running display";
        return false;
    }
    QProcess tool;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), m_name);
    tool.setProcessEnvironment(environment);
    tool.start(program, arguments);
    if (!tool.waitForFinished(timeoutMs)) {
        qWarning().noquote() << "VirtualDisplay:" << program << arguments.join(QLatin1Char(' '))
                             << "did not finish:" << tool.errorString();
        tool.kill();
        tool.waitForFinished(5000);
        return false;
    }
    if (tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0) {
        qWarning().noquote() << "VirtualDisplay:" << program << arguments.join(QLatin1Char(' '))
                             << "failed:" << QString::fromLocal8Bit(tool.readAllStandardError());
        return false;
    }
    return true;
}
