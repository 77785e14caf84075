import QtQuick 2.15

// Date and time of the header. A press held for longPressMsec raises
// pressAndHold (the technician's way into maintenance); a short tap raises clicked.
Item {
    id: clock

    property var locale: Qt.locale()
    property int longPressMsec: 800
    property string dateFormat: "ddd, d MMM yyyy"
    property string timeFormat: "hh:mm:ss"
    property bool made: false

    readonly property alias dateText: dateLabel.text
    readonly property alias timeText: timeLabel.text

    signal pressAndHold()
    signal clicked()

    width: 200
    height: 65

    function refresh() {
        const now = new Date()
        dateLabel.text = Qt.formatDate(now, dateFormat)
        timeLabel.text = now.toLocaleTimeString(locale, timeFormat)
    }

    // Shown once the clock is made, with what its user set meanwhile; then as it changes.
    Component.onCompleted: {
        made = true
        refresh()
    }
    onDateFormatChanged: if (made) refresh()
    onTimeFormatChanged: if (made) refresh()
    onLocaleChanged: if (made) refresh()

    Column {
        anchors.right: parent.right
        anchors.verticalCenter: parent.verticalCenter
        spacing: -2

        Text {
            id: dateLabel
            anchors.right: parent.right
            color: "#112D63"
            font.family: "DejaVu Sans"
            font.pixelSize: 20
            font.weight: Font.Medium
            font.letterSpacing: 0.2
        }

        Text {
            id: timeLabel
            anchors.right: parent.right
            color: "#112D63"
            font.family: "DejaVu Sans"
            font.pixelSize: 42
            font.bold: true
            font.letterSpacing: 0.8
        }
    }

    Timer {
        interval: 1000
        repeat: true
        running: true
        onTriggered: clock.refresh()
    }

    MouseArea {
        id: touch
        objectName: "clockTouch"
        anchors.fill: parent
        pressAndHoldInterval: clock.longPressMsec
        onPressAndHold: clock.pressAndHold()
        onClicked: clock.clicked()
    }
}
