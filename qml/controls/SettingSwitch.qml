import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Controls.Material 2.15

// A switch drawn without the style's shadow effect, which the software renderer
// leaves out together with the handle.
Switch {
    id: control

    focusPolicy: Qt.NoFocus

    indicator: Rectangle {
        x: control.leftPadding
        y: control.topPadding + (control.availableHeight - height) / 2
        implicitWidth: 44
        implicitHeight: 18
        radius: 9
        color: control.checked ? Qt.darker(control.Material.accent, 1.6) : "#777777"
        opacity: control.enabled ? 1 : 0.5

        Rectangle {
            x: control.checked ? parent.width - width : 0
            anchors.verticalCenter: parent.verticalCenter
            width: 26
            height: 26
            radius: 13
            color: control.checked ? control.Material.accent : "#E0E0E0"
            border.color: Qt.rgba(0, 0, 0, 0.3)

            Behavior on x {
                NumberAnimation { duration: 120 }
            }
        }
    }
}
