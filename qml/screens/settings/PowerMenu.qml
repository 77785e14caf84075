import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Controls.Material 2.15

// The settings area's menu under its header button: configuration scan, restart,
// reboot, shutdown and logout. It says what was chosen; the area acts on it.
Menu {
    // "restart", "reboot" or "shutdown", to be confirmed first.
    signal commandChosen(string command)
    signal scanChosen()

    x: parent.width - width
    y: parent.height
    width: 280
    // No shadow: the software renderer would drop the background with it.
    Material.elevation: 0

    MenuItem {
        text: manager.dynTr + qsTr("Scan Config QR")
        onTriggered: scanChosen()
    }
    MenuItem {
        text: manager.dynTr + qsTr("Restart Application")
        onTriggered: commandChosen("restart")
    }
    MenuItem {
        text: manager.dynTr + qsTr("Reboot")
        onTriggered: commandChosen("reboot")
    }
    MenuItem {
        text: manager.dynTr + qsTr("Shutdown")
        onTriggered: commandChosen("shutdown")
    }
    MenuItem {
        text: manager.dynTr + qsTr("Logout")
        onTriggered: manager.settingsLogoutRequest()
    }
}
