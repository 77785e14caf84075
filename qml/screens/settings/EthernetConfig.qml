import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Controls.Material 2.15
import "../../controls"

// The wired interface's stored settings. The method applies at once; the
// addresses are checked (manager-side, Ethernet.checkConfig) and sent on "Save".
// The page asks the service for them when it opens, and offers "Save" only once
// they are known: what it shows before is no setting of the terminal.
SettingsPage {
    id: page

    readonly property var ethernet: network.ethernet
    readonly property var config: ethernet ? ethernet.config : null
    readonly property bool known: ethernet !== null && ethernet.configKnown
    readonly property bool manual: mode.currentText === "manual"

    Component.onCompleted: if (ethernet) ethernet.reset()

    function save() {
        const problem = ethernet.checkConfig(mode.currentText, address.text, netmask.text,
                                             gateway.text, dns0.text, dns1.text)
        if (problem !== "") {
            StackView.view.showMessage(problem)
            return
        }
        config.address = address.text
        config.mask = netmask.text
        config.gateway = gateway.text
        config.dns0 = dns0.text
        config.dns1 = dns1.text
        if (!maintenance.saveEthernet()) {
            StackView.view.showMessage(manager.dynTr + qsTr("The network service could not be reached: nothing was saved"))
            return
        }
        StackView.view.pop()
    }

    title: QT_TR_NOOP("Ethernet Configuration")

    SettingsGroup {
        title: manager.dynTr + qsTr("Ethernet Configuration")

        SettingsRow {
            label: manager.dynTr + qsTr("Mode")

            SettingCombo {
                id: mode
                objectName: "ethernetMode"
                width: 200
                model: ["auto", "manual"]
                currentIndex: page.ethernet ? model.indexOf(page.ethernet.method) : -1
                onActivated: page.ethernet.method = model[index]
            }
        }

        Repeater {
            id: fields
            model: [
                { label: QT_TR_NOOP("IPV4 Address"), key: "address" },
                { label: QT_TR_NOOP("IPV4 Netmask"), key: "mask" },
                { label: QT_TR_NOOP("IPV4 Gateway"), key: "gateway" },
                { label: QT_TR_NOOP("DNS #0"), key: "dns0" },
                { label: QT_TR_NOOP("DNS #1"), key: "dns1" }
            ]

            SettingsRow {
                property alias field: field

                label: manager.dynTr + qsTr(modelData.label)

                TextField {
                    id: field
                    objectName: "field_" + modelData.key
                    width: 300
                    enabled: page.manual
                    text: page.config ? page.config[modelData.key] : ""
                    color: !page.config || page.config.checkInput(text) ? Material.foreground : "#F44336"
                    inputMethodHints: Qt.ImhPreferNumbers | Qt.ImhNoPredictiveText
                    onAccepted: focus = false
                }
            }
        }
    }

    // The fields by name, for the check and the save.
    readonly property Item address: fields.count > 0 ? fields.itemAt(0).field : null
    readonly property Item netmask: fields.count > 1 ? fields.itemAt(1).field : null
    readonly property Item gateway: fields.count > 2 ? fields.itemAt(2).field : null
    readonly property Item dns0: fields.count > 3 ? fields.itemAt(3).field : null
    readonly property Item dns1: fields.count > 4 ? fields.itemAt(4).field : null

    Row {
        anchors.right: parent.right
        spacing: 20

        Label {
            objectName: "ethernetWaiting"
            anchors.verticalCenter: parent.verticalCenter
            visible: !page.known
            text: manager.dynTr + qsTr("Waiting for the configuration from the network service")
            font.family: "DejaVu Sans"
            font.pixelSize: 16
        }

        CustomButton {
            objectName: "backButton"
            width: 160
            height: 56
            color: "#555555"
            textPointSize: 12
            text: manager.dynTr + qsTr("Back")
            onClicked: page.StackView.view.pop()
        }

        CustomButton {
            objectName: "saveButton"
            width: 160
            height: 56
            textPointSize: 12
            enabled: page.known
            text: manager.dynTr + qsTr("Save")
            onClicked: page.save()
        }
    }
}
