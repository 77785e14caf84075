import QtQuick 2.15
import "../controls"

// Shown while the ignition is off: the configured colour and image.
Rectangle {
    id: page

    // The configured image may be a URL ("qrc:/...", "file:///..."), a resource
    // path (":/...") or a plain file path; a page loaded from the resources would
    // otherwise resolve a plain path inside the resources.
    function imageUrl(path) {
        if (!path)
            return ""
        if (path.startsWith(":/"))
            return "qrc" + path
        if (/^[A-Za-z][A-Za-z0-9+.-]*:/.test(path))
            return path
        if (path.startsWith("/"))
            return "file://" + path
        return path
    }

    color: manager.screenSaverBg

    ImageBox {
        objectName: "screenSaverImage"
        anchors.centerIn: parent
        iconSize: Qt.size(300, 300)
        iconColor: "transparent"
        icon: page.imageUrl(manager.screenSaverImg)
    }
}
