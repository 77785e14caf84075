#include "SceneGraphBackend.h"

#include "TaggedLog.h"

#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QOpenGLContext>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QSurfaceFormat>

namespace {
const QString Tag_ = QStringLiteral("[SceneGraph] ");
// Why choosePlatform() switched, told once the log is set up.
QString& platformReason()
{
    static QString reason;
    return reason;
}
} // namespace

QString SceneGraphBackend::platformFallback(const QString& platform,
                                            const QString& eglfsIntegration, const QString& dev,
                                            QString* reason)
{
    if (platform.section(QLatin1Char(':'), 0, 0) != QLatin1String("eglfs"))
        return QString();
    const QDir devices(dev);
    const auto found = [&devices](const QString& dir, const QString& pattern) {
        return !QDir(devices.filePath(dir))
                    .entryList({pattern}, QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                    .isEmpty();
    };
    QString missing;
    if (eglfsIntegration.isEmpty() || eglfsIntegration.contains(QLatin1String("kms"))) {
        if (!found(QStringLiteral("dri"), QStringLiteral("card*")))
            missing = QStringLiteral("no DRM device (%1/dri/card*)").arg(dev);
    } else if (!eglfsIntegration.contains(QLatin1String("x11"))
               && !eglfsIntegration.contains(QLatin1String("emu"))) {
        // The vendors' integrations (Vivante, Mali, ...) draw on the framebuffer.
        if (!found(QStringLiteral("."), QStringLiteral("fb*")))
            missing = QStringLiteral("no framebuffer (%1/fb*)").arg(dev);
    }
    if (missing.isEmpty())
        return QString();
    const QString fallback = QFileInfo::exists(devices.filePath(QStringLiteral("fb0")))
        ? QStringLiteral("linuxfb")
        : QStringLiteral("offscreen");
    if (reason)
        *reason = QStringLiteral("The platform %1 cannot start: %2; started on %3 with the "
                                 "software renderer instead")
                      .arg(platform, missing, fallback);
    return fallback;
}

void SceneGraphBackend::choosePlatform()
{
    const QString fallback = platformFallback(qEnvironmentVariable("QT_QPA_PLATFORM"),
                                              qEnvironmentVariable("QT_QPA_EGLFS_INTEGRATION"),
                                              QStringLiteral("/dev"), &platformReason());
    if (fallback.isEmpty())
        return;
    qputenv("QT_QPA_PLATFORM", fallback.toLatin1());
    qputenv("QT_QUICK_BACKEND", QByteArrayLiteral("software"));
}

QString SceneGraphBackend::openGLProblem()
{
    // As Qt Quick asks for its windows: the default format with depth and stencil buffers.
    QSurfaceFormat format = QSurfaceFormat::defaultFormat();
    format.setDepthBufferSize(24);
    format.setStencilBufferSize(8);
    QOpenGLContext context;
    context.setFormat(format);
    if (!context.create())
        return QStringLiteral("no OpenGL context can be created on the platform ")
            + QGuiApplication::platformName();
    return QString();
}

void SceneGraphBackend::choose()
{
    if (!platformReason().isEmpty())
        tagged(qWarning(), Tag_) << "WARN: " << platformReason();
    // Asked for by name (as the tests and the virtual displays do): not second-guessed.
    if (!qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND")
        || !qEnvironmentVariableIsEmpty("QMLSCENE_DEVICE"))
        return;
    // eglfs draws every window with OpenGL, the software renderer's too: nothing to fall back
    // to there, and a context made only to find that out would cost every start.
    if (QGuiApplication::platformName() == QLatin1String("eglfs"))
        return;
    const QString problem = openGLProblem();
    if (problem.isEmpty())
        return;
    tagged(qWarning(), Tag_) << "WARN: " << problem
                             << ": Qt Quick draws with its software renderer instead";
    QQuickWindow::setSceneGraphBackend(QSGRendererInterface::Software);
}

void SceneGraphBackend::watch(QQuickWindow* window)
{
    if (!window)
        return;
    // Connected, the signal replaces Qt's own ending of the program.
    QObject::connect(window, &QQuickWindow::sceneGraphError, window,
                     [](QQuickWindow::SceneGraphError, const QString& message) {
                         tagged(qCritical(), Tag_)
                             << "ERROR: The scene graph cannot start, nothing is shown: "
                             << message.simplified();
                     });
}
