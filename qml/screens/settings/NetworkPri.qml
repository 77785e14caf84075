import QtQuick 2.15
import "../../controls"
import "../../controls/Colors.js" as Colors

// The network manager's view of the terminal's primary connection.
SettingsPage {
    id: page

    readonly property var primary: network.primaryConnection
    readonly property var ipv4: primary ? primary.ipv4 : null

    SettingsGroup {
        title: manager.dynTr + qsTr("Primary Connection")

        SettingsRow {
            objectName: "connectionState"
            label: manager.dynTr + qsTr("Connection State")
            value: network.connectionState
            valueColor: Colors.state(value, ["Connected"], ["Disconnected"])
        }
        SettingsRow {
            objectName: "connectivity"
            label: manager.dynTr + qsTr("Connectivity")
            value: network.connectivity
            valueColor: Colors.state(value, ["Full"], [], ["Portal", "Limited"])
        }
        SettingsRow { label: manager.dynTr + qsTr("Hostname"); value: network.hostname }
        SettingsRow { label: manager.dynTr + qsTr("Connection Type"); value: page.primary ? page.primary.type : "" }
        SettingsRow { label: manager.dynTr + qsTr("Interface"); value: page.primary ? page.primary.interface : "" }
        SettingsRow { label: manager.dynTr + qsTr("IPv4 Address"); value: page.ipv4 ? page.ipv4.address : "" }
        SettingsRow { label: manager.dynTr + qsTr("IPv4 Netmask"); value: page.ipv4 ? page.ipv4.mask : "" }
        SettingsRow { label: manager.dynTr + qsTr("IPv4 Gateway"); value: page.ipv4 ? page.ipv4.gateway : "" }
        SettingsRow {
            label: manager.dynTr + qsTr("IPv4 DNS")
            value: page.ipv4 ? [page.ipv4.dns0, page.ipv4.dns1].filter(d => d !== "").join(", ") : ""
        }
    }
}
