import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Controls.Material 2.15

// One line of a settings group: a label on the left and, on the right, either a
// value text or the controls placed in the row. A row with a `tip` shows it when
// its label is tapped.
Item {
    id: row

    property string label
    property string value
    property color valueColor: Material.foreground
    property string tip
    default property alias controls: slot.data

    width: parent ? parent.width : 600
    height: 52

    Label {
        id: name
        anchors.left: parent.left
        anchors.verticalCenter: parent.verticalCenter
        text: row.label + (row.tip !== "" ? "  (?)" : "")
        font.family: "DejaVu Sans"
        font.pixelSize: 16

        MouseArea {
            anchors.fill: parent
            enabled: row.tip !== ""
            onClicked: hint.visible = !hint.visible
        }

        ToolTip {
            id: hint
            text: row.tip
            timeout: 6000
            width: Math.min(implicitWidth, row.width * 0.8)
            contentItem: Label {
                text: hint.text
                wrapMode: Text.Wrap
                font.pixelSize: 14
            }
        }
    }

    Label {
        objectName: "rowValue"
        anchors.right: parent.right
        anchors.left: name.right
        anchors.leftMargin: 20
        anchors.verticalCenter: parent.verticalCenter
        visible: slot.children.length === 0
        horizontalAlignment: Text.AlignRight
        elide: Text.ElideRight
        text: row.value
        color: row.valueColor
        font.family: "DejaVu Sans"
        font.pixelSize: 16
    }

    Row {
        id: slot
        anchors.right: parent.right
        anchors.verticalCenter: parent.verticalCenter
        spacing: 12
    }

    Rectangle {
        anchors.bottom: parent.bottom
        width: parent.width
        height: 1
        color: Qt.rgba(0.5, 0.5, 0.5, 0.25)
    }
}
