import QtQuick 2.15
import QtQuick.Controls 2.15

// A flat combo box whose list has no shadow effect: the software renderer would
// leave the effect out together with the box and the list's background.
ComboBox {
    flat: true
    focusPolicy: Qt.NoFocus

    Component.onCompleted: popup.background.layer.enabled = false
}
