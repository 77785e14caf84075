import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Controls.Material 2.15
import "../controls"
import "ScreenText.js" as ScreenText

// The technician's PIN for the maintenance area, typed on the page's own keypad
// (or a keyboard). After too many wrong PINs the manager refuses logins for a
// while; the page then says how long and takes no input.
Item {
    id: page

    readonly property int maxDigits: 8
    readonly property int lockoutSec: manager.loginLockoutSec !== undefined ? manager.loginLockoutSec : 0
    readonly property bool locked: lockoutSec > 0
    property bool wrongPin: false
    property string pin: ""

    // A hidden page keeps the keyboard focus: what is typed then is not for it.
    function type(digit) {
        if (!visible || locked || pin.length >= maxDigits)
            return
        wrongPin = false
        pin += digit
    }

    function erase() {
        pin = pin.slice(0, -1)
    }

    function press(index, key) {
        if (index === 9)
            erase()
        else if (index === 11)
            login()
        else
            type(key)
    }

    function login() {
        if (!visible || locked || pin === "")
            return
        manager.settingsLoginRequest(pin)
    }

    // A fresh page each time it is shown.
    onVisibleChanged: {
        console.info("[QML] Login page " + (visible ? "shown" : "hidden"))
        pin = ""
        wrongPin = false
        if (visible)
            forceActiveFocus()
    }

    Material.theme: Material.Light

    // Writes what the page shows to the log.
    Shortcut {
        sequence: "Ctrl+Shift+D"
        context: Qt.ApplicationShortcut // also over a modal popup
        enabled: page.visible
        onActivated: console.info(ScreenText.line("Login", page, page.Overlay.overlay))
    }

    Keys.onPressed: {
        if (event.key >= Qt.Key_0 && event.key <= Qt.Key_9)
            page.type(String(event.key - Qt.Key_0))
        else if (event.key === Qt.Key_Backspace)
            page.erase()
        else if (event.key === Qt.Key_Return || event.key === Qt.Key_Enter)
            page.login()
        else
            return
        event.accepted = true
    }

    Connections {
        target: manager
        ignoreUnknownSignals: true

        function onSettingsAccessGranted() {
            page.pin = ""
            if (page.visible)
                manager.setMaintenanceScreen()
        }
        function onSettingsAccessDenied() {
            page.pin = ""
            page.wrongPin = true
        }
    }

    // What the page shows. The page starts over at every visit, so it is made the first
    // time it is shown; plain positioners, as it needs no layout engine.
    FirstShowLoader {
        anchors.centerIn: parent

        sourceComponent: Component {
            Row {
                spacing: 80

                Column {
                    anchors.verticalCenter: parent.verticalCenter
                    spacing: 16

                    Image {
                        anchors.horizontalCenter: parent.horizontalCenter
                        sourceSize: Qt.size(72, 72)
                        // Drawn while shown only: a hidden page holds no decoded image.
                        source: visible ? "qrc:/qml/images/Icons/tools.svg" : ""
                    }

                    Text {
                        anchors.horizontalCenter: parent.horizontalCenter
                        text: manager.dynTr + qsTr("Maintenance")
                        color: "#112D63"
                        font.family: "DejaVu Sans"
                        font.pointSize: 18
                        font.bold: true
                    }

                    TextField {
                        objectName: "pinField"
                        text: page.pin
                        width: 300
                        // Digits come from the keypad: no input method pops up.
                        readOnly: true
                        activeFocusOnPress: false
                        echoMode: TextInput.Password
                        passwordCharacter: "\u25CF"
                        placeholderText: manager.dynTr + qsTr("Pin")
                        horizontalAlignment: TextInput.AlignHCenter
                        color: "#112D63"
                        font.family: "DejaVu Sans"
                        font.pointSize: 20
                        font.letterSpacing: 4
                        Material.accent: "#00ADD7"
                        enabled: !page.locked
                    }

                    Text {
                        objectName: "loginMessage"
                        width: 300
                        height: 44
                        horizontalAlignment: Text.AlignHCenter
                        wrapMode: Text.Wrap
                        text: manager.dynTr + (page.locked ? qsTr("Too many wrong PINs. Try again in %1 s").arg(page.lockoutSec)
                                                           : page.wrongPin ? qsTr("Wrong PIN, please try again") : "")
                        color: "#D32F2F"
                        font.family: "DejaVu Sans"
                        font.pointSize: 11
                    }

                    CustomButton {
                        objectName: "loginButton"
                        anchors.horizontalCenter: parent.horizontalCenter
                        width: 300
                        height: 60
                        enabled: !page.locked && page.pin !== ""
                        color: "#00ADD7"
                        text: manager.dynTr + qsTr("LOGIN")
                        onClicked: page.login()
                    }
                }

                Grid {
                    objectName: "keypad"
                    anchors.verticalCenter: parent.verticalCenter
                    columns: 3
                    spacing: 10

                    Repeater {
                        model: ["1", "2", "3", "4", "5", "6", "7", "8", "9", "\u232B", "0", "\u23CE"]

                        CustomButton {
                            objectName: "pinKey_" + index
                            width: 96
                            height: 76
                            enabled: !page.locked
                            color: index === 11 ? "#00ADD7" : index === 9 ? "#D2DAE2" : "#E6EBF0"
                            textColor: index === 11 ? "#FFFFFF" : "#112D63"
                            textPointSize: 22
                            text: modelData
                            onClicked: page.press(index, modelData)
                        }
                    }
                }
            }
        }
    }
}
