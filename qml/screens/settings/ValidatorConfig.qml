import QtQuick 2.15
import QtQuick.Controls 2.15
import "../../controls"

// Local edits of the terminal's and the interface's validator settings; nothing
// is written until "Save", which is offered only while something was changed.
SettingsPage {
    id: page

    readonly property var config: validatorManager.config
    readonly property bool changed: config !== null && (obuUrl.text !== String(config.obuUrl)
                                    || passback.value !== config.passbackSecs
                                    || passbackQr.checked !== config.passbackQrEnabled
                                    || shutdownDelay.value !== manager.shutdownDelaySec
                                    || errorDesc.checked !== manager.showErrorDesc)

    function save() {
        config.obuUrl = obuUrl.text
        config.passbackSecs = passback.value
        config.passbackQrEnabled = passbackQr.checked
        validatorManager.saveConfig()
        manager.shutdownDelaySec = shutdownDelay.value
        manager.showErrorDesc = errorDesc.checked
        StackView.view.pop()
    }

    title: QT_TR_NOOP("Validator Configuration")

    SettingsGroup {
        title: manager.dynTr + qsTr("Validator Configuration")

        SettingsRow {
            label: manager.dynTr + qsTr("OBC URL")

            TextField {
                id: obuUrl
                objectName: "obuUrl"
                width: 420
                text: page.config ? String(page.config.obuUrl) : ""
                inputMethodHints: Qt.ImhUrlCharactersOnly | Qt.ImhNoPredictiveText | Qt.ImhNoAutoUppercase
                onAccepted: focus = false
            }
        }
        SettingsRow {
            label: manager.dynTr + qsTr("Passback Time (sec)")

            SpinBox {
                id: passback
                objectName: "passback"
                from: 0
                to: 86400
                stepSize: 1
                editable: false
                value: page.config ? page.config.passbackSecs : 0
            }
        }
        SettingsRow {
            label: manager.dynTr + qsTr("Shutdown Delay (sec)")
            tip: manager.dynTr + qsTr("Time in seconds after the ignition is switched off before the shutdown sequence starts (at most 900).")

            SpinBox {
                id: shutdownDelay
                objectName: "shutdownDelay"
                from: 5
                to: 900
                stepSize: 5
                value: manager.shutdownDelaySec
            }
        }
        SettingsRow {
            label: manager.dynTr + qsTr("QR Passback Enabled")

            SettingSwitch {
                id: passbackQr
                objectName: "passbackQr"
                checked: page.config ? page.config.passbackQrEnabled : false
            }
        }
        SettingsRow {
            label: manager.dynTr + qsTr("Show Error Description")
            tip: manager.dynTr + qsTr("Shows the full reason text on the out-of-order screen instead of the reason code alone.")

            SettingSwitch {
                id: errorDesc
                objectName: "errorDesc"
                checked: manager.showErrorDesc
            }
        }
    }

    Row {
        anchors.right: parent.right
        spacing: 20

        CustomButton {
            objectName: "backButton"
            width: 160
            height: 56
            color: "#555555"
            textPointSize: 12
            text: manager.dynTr + qsTr("Back")
            onClicked: {
                validatorManager.refreshConfig()
                page.StackView.view.pop()
            }
        }

        CustomButton {
            objectName: "saveButton"
            width: 160
            height: 56
            textPointSize: 12
            enabled: page.changed
            text: manager.dynTr + qsTr("Save")
            onClicked: page.save()
        }
    }
}
