import QtQuick 2.15
import QtQuick.Controls 2.15
import "../../controls"
import "../../controls/Colors.js" as Colors

// The live state of the wired interface; "Configure" edits its stored settings.
SettingsPage {
    id: page

    readonly property var ethernet: network.ethernet
    readonly property var ipv4: ethernet ? ethernet.ipv4 : null

    SettingsGroup {
        title: manager.dynTr + qsTr("Connection State")

        SettingsRow {
            objectName: "ethernetState"
            label: manager.dynTr + qsTr("State")
            value: page.ethernet ? page.ethernet.state : ""
            valueColor: Colors.state(value, ["Connected"], ["Disconnected"])
        }
        SettingsRow { label: manager.dynTr + qsTr("IPv4 Address"); value: page.ipv4 ? page.ipv4.address : "" }
        SettingsRow { label: manager.dynTr + qsTr("IPv4 Netmask"); value: page.ipv4 ? page.ipv4.mask : "" }
        SettingsRow { label: manager.dynTr + qsTr("IPv4 Gateway"); value: page.ipv4 ? page.ipv4.gateway : "" }
        SettingsRow { label: manager.dynTr + qsTr("IPv4 DNS#0"); value: page.ipv4 ? page.ipv4.dns0 : "" }
        SettingsRow { label: manager.dynTr + qsTr("IPv4 DNS#1"); value: page.ipv4 ? page.ipv4.dns1 : "" }
        SettingsRow { label: manager.dynTr + qsTr("MAC"); value: page.ethernet ? page.ethernet.mac : "" }
        SettingsRow { label: manager.dynTr + qsTr("Interface"); value: page.ethernet ? page.ethernet.interface : "" }
        SettingsRow { label: manager.dynTr + qsTr("State Change Reason"); value: page.ethernet ? page.ethernet.reason : "" }
    }

    CustomButton {
        objectName: "ethernetConfigure"
        anchors.right: parent.right
        width: 200
        height: 56
        textPointSize: 12
        text: manager.dynTr + qsTr("Configure")
        // This page sits in the network page's tabs; the settings stack holds that.
        // A double tap would push the page twice.
        onClicked: if (!settingsStack().busy) settingsStack().push(Qt.resolvedUrl("EthernetConfig.qml"))
    }

    function settingsStack() {
        for (let item = page.parent; item; item = item.parent) {
            if (item.StackView.view)
                return item.StackView.view
        }
        return null
    }
}
