import QtQuick 2.15
import QtQuick.Controls 2.15
import "../../controls"
import "../../controls/Colors.js" as Colors

// What the terminal service reports about the validator and its readers.
SettingsPage {
    id: page

    readonly property var rfid: validatorManager.rfid
    readonly property var barcode: validatorManager.barcode
    readonly property var sam: rfid ? rfid.sam : null

    function yesNo(value) {
        return value ? qsTr("Yes") : qsTr("No")
    }

    SettingsGroup {
        title: manager.dynTr + qsTr("Validator")

        SettingsRow { label: manager.dynTr + qsTr("Serial Number"); value: manager.deviceId }
        SettingsRow { label: manager.dynTr + qsTr("Vehicle"); value: validatorManager.vehicle }
        SettingsRow { label: manager.dynTr + qsTr("Version"); value: validatorManager.version }
        SettingsRow {
            objectName: "validatorStatus"
            label: manager.dynTr + qsTr("Status")
            value: validatorManager.status
            valueColor: value === "offline" ? Colors.red : value === "out-of-service" ? Colors.amber : Colors.green
        }
        SettingsRow { label: manager.dynTr + qsTr("Reason"); value: validatorManager.reason }
    }

    SettingsGroup {
        title: manager.dynTr + qsTr("RFID Reader")

        SettingsRow { label: manager.dynTr + qsTr("Firmware"); value: page.rfid ? page.rfid.firmware : "" }
        SettingsRow { label: manager.dynTr + qsTr("Model"); value: page.rfid ? page.rfid.model : "" }
        SettingsRow { label: manager.dynTr + qsTr("Manufacturer"); value: page.rfid ? page.rfid.manufacturer : "" }
        SettingsRow { label: manager.dynTr + qsTr("Device UID"); value: page.rfid ? page.rfid.deviceUid : "" }
        SettingsRow { label: manager.dynTr + qsTr("State"); value: page.rfid ? page.rfid.state : "" }
        SettingsRow { label: manager.dynTr + qsTr("Error"); value: page.rfid ? page.rfid.error : "" }
    }

    SettingsGroup {
        title: manager.dynTr + qsTr("Barcode Scanner")

        SettingsRow { label: manager.dynTr + qsTr("Firmware"); value: page.barcode ? page.barcode.firmware : "" }
        SettingsRow { label: manager.dynTr + qsTr("Model"); value: page.barcode ? page.barcode.model : "" }
        SettingsRow { label: manager.dynTr + qsTr("Manufacturer"); value: page.barcode ? page.barcode.manufacturer : "" }
        SettingsRow { label: manager.dynTr + qsTr("Active"); value: manager.dynTr + page.yesNo(page.barcode && page.barcode.active) }
        SettingsRow { label: manager.dynTr + qsTr("Enabled"); value: manager.dynTr + page.yesNo(page.barcode && page.barcode.enabled) }
    }

    SettingsGroup {
        title: manager.dynTr + qsTr("SAM")

        SettingsRow { label: manager.dynTr + qsTr("Slot"); value: page.sam ? page.sam.slot : "" }
        SettingsRow { label: manager.dynTr + qsTr("Name"); value: page.sam ? page.sam.name : "" }
        SettingsRow { label: manager.dynTr + qsTr("Version"); value: page.sam ? page.sam.version : "" }
        SettingsRow { label: manager.dynTr + qsTr("UID"); value: page.sam ? page.sam.uid : "" }
        SettingsRow { label: manager.dynTr + qsTr("Mode"); value: page.sam ? page.sam.mode : "" }
        SettingsRow { label: manager.dynTr + qsTr("Unlocked"); value: manager.dynTr + page.yesNo(page.sam && page.sam.unlocked) }
        SettingsRow {
            label: manager.dynTr + qsTr("Production")
            value: page.sam && !isNaN(page.sam.production) ? Qt.formatDate(page.sam.production, "yyyy-MM-dd") : ""
        }
    }

    CustomButton {
        objectName: "configureButton"
        anchors.right: parent.right
        width: 200
        height: 56
        textPointSize: 12
        text: manager.dynTr + qsTr("Configure")
        // A double tap would push the page twice.
        onClicked: if (!page.StackView.view.busy) page.StackView.view.push(Qt.resolvedUrl("ValidatorConfig.qml"))
    }
}
