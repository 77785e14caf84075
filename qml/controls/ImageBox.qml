import QtQuick 2.15

// An image tinted with a colour. A fully transparent colour shows the image in
// its own colours; the effect is then left out, so that the image also shows on
// renderers without shader support.
Item {
    id: box

    property url icon
    property size iconSize: Qt.size(250, 250)
    property color iconColor: "#41b987"

    readonly property bool tinted: iconColor.a > 0

    implicitWidth: iconSize.width
    implicitHeight: iconSize.height

    Image {
        id: image
        objectName: "iconImage"
        anchors.centerIn: parent
        width: box.iconSize.width
        height: box.iconSize.height
        // Qt fits a scalable image to a source size by the larger of the two scale
        // factors: a wide logo in a square box was drawn four times as wide as shown
        // (1.3 MB for the screen saver's). The width alone bounds a wide or square
        // image to the size it is shown at.
        sourceSize.width: box.iconSize.width
        fillMode: Image.PreserveAspectFit
        // Drawn while shown only: a hidden page holds no decoded image.
        source: box.visible ? box.icon : ""
        visible: !box.tinted
        smooth: true
    }

    Loader {
        objectName: "iconTint"
        anchors.fill: image
        active: box.tinted
        source: "ImageTint.qml"
        onLoaded: {
            item.source = image
            item.color = Qt.binding(() => box.iconColor)
        }
    }
}
