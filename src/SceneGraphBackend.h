#pragma once

#include <QString>

class QQuickWindow;

// Qt Quick's renderer, chosen before the first window is made. A window whose OpenGL context
// cannot be created ends the program at its first frame ("Failed to create OpenGL context"),
// and the service manager would start it into the same end every few seconds: where the
// platform makes no OpenGL context, Qt Quick draws with its software renderer instead.
class SceneGraphBackend
{
public:
    // Why no OpenGL context like a Qt Quick window's can be created on this platform; empty
    // when one can. Needs the application object.
    static QString openGLProblem();
    // Falls back to the software renderer where openGLProblem() finds a reason, and logs it at
    // warning level. A renderer named in the environment (QT_QUICK_BACKEND) is left as it is,
    // and so is eglfs, which composes even software-drawn windows with OpenGL.
    static void choose();
    // A scene graph that fails all the same is logged as an error instead of ending the
    // program: with no picture, it still answers over MQTT.
    static void watch(QQuickWindow* window);
};
