import QtQuick 2.15

// Top bar of the operating screens: the operator's logo and the clock. Holding
// the clock is the way into maintenance (magicButtonPressed).
Rectangle {
    id: header

    signal magicButtonPressed()

    // The window brings the logo and the clock a frame after its first working screen. The
    // logo's decoding loads the SVG plug-in and the widgets library, and the clock's bold
    // and medium faces are looked up and opened: both would hold back the frames before.
    property bool decorated: true

    color: "transparent"
    implicitWidth: 1024
    implicitHeight: 120

    Image {
        id: logo
        objectName: "headerLogo"
        x: 25
        anchors.verticalCenter: parent.verticalCenter
        width: 266
        height: 74
        sourceSize: Qt.size(266, 74)
        fillMode: Image.Stretch
        // Decoded on the GUI thread, once the pages are made: a reader thread of its
        // own would keep more memory than the few milliseconds it saves.
        asynchronous: false
        source: header.decorated ? "qrc:/qml/images/Icons/pelmo-logo-top-gr.svg" : ""
    }

    Loader {
        anchors.right: parent.right
        anchors.rightMargin: 25
        anchors.verticalCenter: parent.verticalCenter
        active: header.decorated

        sourceComponent: Clock {
            objectName: "headerClock"
            dateFormat: "dd-MM-yyyy"
            timeFormat: "hh:mm"
            onClicked: console.info("[QML] Clock tapped.")
            onPressAndHold: header.magicButtonPressed()
        }
    }
}
