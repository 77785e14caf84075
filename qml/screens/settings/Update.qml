import QtQuick 2.15
import QtQuick.Controls 2.15
import "../../controls"
import "../../controls/Colors.js" as Colors

// The software updater: what is installed, what waits, and its progress.
SettingsPage {
    id: page

    readonly property var update: manager.update ? manager.update : null
    readonly property string status: update ? update.status : ""

    SettingsGroup {
        title: manager.dynTr + qsTr("Software Update")

        SettingsRow {
            objectName: "updateStatus"
            label: manager.dynTr + qsTr("Status")
            value: page.status
            valueColor: value === "Disconnected" ? Colors.red : value === "Ready to install" ? Colors.green
                        : value === "Downloading" || value === "Installing" ? Colors.amber : Colors.text
        }
        SettingsRow {
            label: manager.dynTr + qsTr("Current Version")
            value: page.update && page.update.current !== "" ? page.update.current : manager.dynTr + qsTr("None")
        }
        SettingsRow {
            label: manager.dynTr + qsTr("Pending Version")
            value: page.update && page.update.pending !== "" ? page.update.pending : manager.dynTr + qsTr("None")
        }
        SettingsRow {
            label: manager.dynTr + qsTr("Progress")

            Label {
                anchors.verticalCenter: parent.verticalCenter
                text: page.update ? page.update.progressMessage : ""
                font.pixelSize: 14
            }
            ProgressBar {
                objectName: "updateProgress"
                anchors.verticalCenter: parent.verticalCenter
                width: 300
                from: 0
                to: 100
                value: page.update ? page.update.progressPercent : 0
            }
        }
    }

    Row {
        anchors.right: parent.right
        spacing: 20

        CustomButton {
            objectName: "checkButton"
            width: 160
            height: 56
            color: "#555555"
            textPointSize: 12
            text: manager.dynTr + qsTr("Check")
            onClicked: if (page.update) page.update.check()
        }

        CustomButton {
            objectName: "installButton"
            width: 160
            height: 56
            textPointSize: 12
            enabled: page.status === "Ready to install"
            text: manager.dynTr + qsTr("Install")
            onClicked: maintenance.installUpdate()
        }
    }
}
