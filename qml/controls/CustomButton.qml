import QtQuick 2.15
import QtQuick.Templates 2.15 as T
import QtQuick.Controls.Material 2.15

// A flat button that shrinks a little while pressed. It never takes the focus,
// so pressing it leaves a text field (and its keyboard) as it is. Every tap is a
// click, a quick second one too.
T.AbstractButton {
    id: control

    property color color: Material.accent
    property color textColor: "#FFFFFF"
    property real radius: 4
    property real textPointSize: 16
    property bool textBold: true
    property real textLetterSpacing: 1.2

    implicitWidth: 100
    implicitHeight: 40
    focusPolicy: Qt.NoFocus
    hoverEnabled: false

    // A quick second tap ends as a double click, without a click: on a touch screen it
    // is a second tap all the same.
    onDoubleClicked: clicked()

    contentItem: Text {
        text: control.text
        color: control.textColor
        opacity: control.enabled ? 1.0 : 0.7
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
        font.family: "DejaVu Sans"
        font.pointSize: control.textPointSize
        font.bold: control.textBold
        font.letterSpacing: control.textLetterSpacing
    }

    background: Rectangle {
        radius: control.radius
        color: !control.enabled ? "#B8C2CC" : control.down ? Qt.darker(control.color, 1.2) : control.color
        scale: control.down ? 0.95 : 1.0

        Behavior on scale {
            NumberAnimation { duration: 90; easing.type: Easing.OutQuad }
        }
    }
}
