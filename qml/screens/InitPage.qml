import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Controls.Material 2.15
import "../controls"

// Registration of the device's serial number, shown while the manager has none.
Item {
    id: page

    readonly property bool inputValid: isValidSerial(serialField.text)

    // A serial number is "C" or "K" followed by exactly eight decimal digits.
    function isValidSerial(text) {
        return /^[CK][0-9]{8}$/.test(text)
    }

    function requestSave() {
        if (!inputValid)
            return
        keyboard.hide()
        confirmation.serial = serialField.text
        confirmation.open({ text: manager.dynTr + qsTr("Please confirm the serial number") + "\n\n" + serialField.text })
    }

    // The page sits on the white window; keep the controls in light colours.
    Material.theme: Material.Light

    Flickable {
        id: scroller
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.top: parent.top
        anchors.bottom: keyboard.top
        contentWidth: width
        contentHeight: Math.max(height, form.implicitHeight + 20)
        boundsBehavior: Flickable.StopAtBounds
        clip: true

        Column {
            id: form
            anchors.centerIn: parent
            // Tighter while the keyboard is up, so that the form still fits.
            spacing: keyboard.active ? 8 : 16

            Text {
                anchors.horizontalCenter: parent.horizontalCenter
                text: manager.dynTr + qsTr("Enter Serial Number")
                color: "#112D63"
                font.family: "DejaVu Sans"
                font.pointSize: 18
                font.bold: true
            }

            TextField {
                id: serialField
                objectName: "serialField"
                anchors.horizontalCenter: parent.horizontalCenter
                width: 350
                text: manager.deviceId
                placeholderText: "K00000000"
                maximumLength: 32
                horizontalAlignment: TextInput.AlignHCenter
                inputMethodHints: Qt.ImhUppercaseOnly | Qt.ImhNoPredictiveText | Qt.ImhNoAutoUppercase
                color: "#112D63"
                font.family: "DejaVu Sans"
                font.pointSize: 20
                font.letterSpacing: 2
                Material.accent: "#00ADD7"
                onAccepted: page.requestSave()
                onActiveFocusChanged: if (!activeFocus) Qt.inputMethod.hide()
            }

            Text {
                objectName: "serialHint"
                anchors.horizontalCenter: parent.horizontalCenter
                // Keeps its place while hidden, so that the form does not jump.
                opacity: page.inputValid ? 0 : 1
                text: manager.dynTr + qsTr("Must start with 'C' or 'K' followed by 8 digits")
                color: "#D32F2F"
                font.family: "DejaVu Sans"
                font.pointSize: 11
            }

            CustomButton {
                objectName: "saveButton"
                anchors.horizontalCenter: parent.horizontalCenter
                width: 300
                height: 60
                enabled: page.inputValid
                color: "#00ADD7"
                text: manager.dynTr + qsTr("SAVE")
                onClicked: page.requestSave()
            }
        }
    }

    KeyboardPanel {
        id: keyboard
        objectName: "keyboard"
        scope: page
        anchors.left: parent.left
        anchors.right: parent.right
        height: 250
        // Only showing and hiding slide; a change of the page's size applies at once.
        property real reveal: active ? 1 : 0
        y: page.height - height * reveal
        visible: reveal > 0

        Behavior on reveal {
            NumberAnimation { duration: 150; easing.type: Easing.InOutQuad }
        }
    }

    // Made when first asked.
    PopupLoader {
        id: confirmation
        popup: "../controls/CustomPopup.qml"
        initial: ({ objectName: "confirmation", isDialog: true })

        property string serial
    }

    Connections {
        target: confirmation.item

        function onButtonYesPressed() {
            manager.saveDeviceIdRequest(confirmation.serial)
        }
    }
}
