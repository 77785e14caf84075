#include "VirtualDisplay.h"

#include "ChildProcess.h"
#include "ProcessGuard.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <cstdlib>

VirtualDisplay::VirtualDisplay() = default;

VirtualDisplay::~VirtualDisplay()
{
    if (m_server)
        ChildProcess::terminate(*m_server);
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
    if (m_server && m_server->state() == QProcess::Running)
        return true;
    m_server = std::make_unique<QProcess>();
    // With -displayfd the server takes the first free display number and writes it to
    // the descriptor once it accepts clients: no race with another server starting.
    const QString screen
        = QStringLiteral("%1x%2x%3").arg(size.width()).arg(size.height()).arg(depth);
    m_server->start(QStringLiteral("Xvfb"),
                    {"-displayfd", "1", "-screen", "0", screen, "-nolisten", "tcp", "-noreset"});
    QByteArray output;
    const QDeadlineTimer deadline(20000);
    while (!output.contains('\n') && !deadline.hasExpired()
           && m_server->state() != QProcess::NotRunning) {
        m_server->waitForReadyRead(200);
        output += m_server->readAllStandardOutput();
    }
    bool ok = false;
    const int number = output.trimmed().toInt(&ok);
    if (!ok) {
        qWarning().noquote() << "VirtualDisplay: Xvfb gave no display number:"
                             << m_server->errorString() << m_server->readAllStandardError();
        ChildProcess::terminate(*m_server);
        m_server.reset();
        return false;
    }
    m_name = QStringLiteral(":%1").arg(number);
    return true;
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

bool VirtualDisplay::click(int x, int y, int holdMs)
{
    const QStringList move {"mousemove", QString::number(x), QString::number(y)};
    if (holdMs <= 0)
        return runTool("xdotool", move + QStringList {"click", "1"});
    const QString seconds = QString::number(holdMs / 1000.0);
    return runTool("xdotool",
                   move + QStringList {"mousedown", "1", "sleep", seconds, "mouseup", "1"});
}

bool VirtualDisplay::type(const QString& text, int delayMs)
{
    return runTool("xdotool", {"type", "--delay", QString::number(delayMs), text});
}

bool VirtualDisplay::scroll(int x, int y, int clicks)
{
    return runTool("xdotool",
                   {"mousemove", QString::number(x), QString::number(y), "click", "--repeat",
                    QString::number(std::abs(clicks)), clicks < 0 ? "4" : "5"});
}

bool VirtualDisplay::key(const QString& keys)
{
    return runTool("xdotool", {"key", keys});
}

bool VirtualDisplay::grab(const QString& pngFile)
{
    return runTool("import", {"-window", "root", pngFile}) && QFileInfo(pngFile).size() > 0;
}

bool VirtualDisplay::runTool(const QString& program, const QStringList& arguments)
{
    QProcess tool;
    tool.setProcessEnvironment(environment());
    tool.start(program, arguments);
    const bool finished = tool.waitForFinished(20000);
    if (!finished)
        ProcessGuard::kill(tool);
    if (!finished || tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0) {
        qWarning().noquote() << "VirtualDisplay:" << program << arguments.join(QLatin1Char(' '))
                             << "failed:" << tool.errorString() << tool.readAllStandardError();
        tool.waitForFinished(5000);
        return false;
    }
    return true;
}
