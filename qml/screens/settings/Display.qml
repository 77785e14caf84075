import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Controls.Material 2.15
import "../../controls"

// Brightness, cursor, theme and the display-off time. The board is followed
// every second while the page is open, so that the sensor value stays current.
SettingsPage {
    id: page

    readonly property var appWindow: ApplicationWindow.window

    Component.onCompleted: board.monitor(1000)
    Component.onDestruction: board.monitor(0)

    SettingsGroup {
        title: manager.dynTr + qsTr("Display")

        SettingsRow {
            label: manager.dynTr + qsTr("Brightness Mode")

            SettingCombo {
                objectName: "brightnessMode"
                width: 200
                model: ["auto", "manual"]
                currentIndex: model.indexOf(board.displayBrightnessMode)
                onActivated: board.setDisplayBrightnessMode(model[index])
            }
        }
        SettingsRow {
            label: manager.dynTr + qsTr("Display Brightness")

            Slider {
                id: brightness
                objectName: "brightness"
                width: 360
                from: 0
                to: 100
                stepSize: 1
                focusPolicy: Qt.NoFocus
                value: board.displayBrightness
                onPressedChanged: if (!pressed) board.setDisplayBrightness(value)
            }
            Label {
                anchors.verticalCenter: parent.verticalCenter
                width: 60
                text: Math.round(brightness.value) + " %"
                font.pixelSize: 16
            }
        }
        SettingsRow {
            label: manager.dynTr + qsTr("Ambient Light Sensor")
            value: board.ambientLightSensor + " %"
        }
        SettingsRow {
            label: manager.dynTr + qsTr("Show Cursor")

            SettingSwitch {
                objectName: "showCursor"
                checked: manager.showCursor
                onToggled: manager.showCursor = checked
            }
        }
        SettingsRow {
            label: manager.dynTr + qsTr("Dark Theme")

            // The window's theme, for this run only.
            SettingSwitch {
                objectName: "darkTheme"
                checked: page.appWindow ? page.appWindow.Material.theme === Material.Dark : true
                onToggled: if (page.appWindow) page.appWindow.Material.theme = checked ? Material.Dark : Material.Light
            }
        }
        SettingsRow {
            label: manager.dynTr + qsTr("Display OFF (min)")
            tip: manager.dynTr + qsTr("The display turns off after this many minutes in the out-of-order or out-of-service state.")

            SpinBox {
                objectName: "displayOff"
                from: 0
                to: 86400
                stepSize: 1
                value: manager.displayOffMin
                onValueModified: manager.displayOffMin = value
            }
        }
    }
}
