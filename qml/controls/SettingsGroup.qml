import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Controls.Material 2.15

// A titled block of settings rows on a slightly raised panel.
Column {
    id: group

    property string title
    default property alias rows: body.data

    width: parent ? parent.width : 600
    spacing: 6

    Label {
        visible: group.title !== ""
        text: group.title
        color: "#00ADD7"
        font.family: "DejaVu Sans"
        font.pixelSize: 18
        font.bold: true
    }

    Rectangle {
        width: parent.width
        height: body.implicitHeight + 8
        radius: 6
        color: Qt.rgba(0.5, 0.5, 0.5, 0.12)
        border.color: Qt.rgba(0.5, 0.5, 0.5, 0.3)

        Column {
            id: body
            x: 16
            y: 4
            width: parent.width - 32
        }
    }
}
