#include "SceneGraphBackend.h"

#include "TaggedLog.h"

#include <QGuiApplication>
#include <QOpenGLContext>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QSurfaceFormat>

namespace {
const QString Tag_ = QStringLiteral("[SceneGraph] ");
} // namespace

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
