import QtQuick 2.15

// Top bar of the operating screens: the operator's logo and the clock. Holding
// the clock is the way into maintenance (magicButtonPressed).
Rectangle {
    id: header

    signal magicButtonPressed()

    // The logo is asked for once the first frame is up: decoding it loads the SVG
    // plug-in and the widgets library, which competed with that frame (which it never
    // made anyway).
    property bool logoWanted: true

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
        // Decoded on the GUI thread, once the first frame is up: a reader thread of its
        // own would keep more memory than the few milliseconds it saves.
        asynchronous: false
        source: header.logoWanted ? "qrc:/qml/images/Icons/pelmo-logo-top-gr.svg" : ""
    }

    Clock {
        id: clock
        objectName: "headerClock"
        anchors.right: parent.right
        anchors.rightMargin: 25
        anchors.verticalCenter: parent.verticalCenter
        dateFormat: "dd-MM-yyyy"
        timeFormat: "hh:mm"
        onClicked: console.info("[QML] Clock tapped.")
        onPressAndHold: header.magicButtonPressed()
    }
}
