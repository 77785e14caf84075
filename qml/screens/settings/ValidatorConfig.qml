import QtQuick 2.15
import QtQuick.Controls 2.15
import "../../controls"

// Local edits of the terminal's and the interface's validator settings; nothing
// is written until "Save", which is offered only while something was changed. The
// terminal's part is checked and sent through the maintenance actions; the page
// closes only once it went out.
SettingsPage {
    id: page

    readonly property var config: validatorManager.config
    readonly property bool terminalChanged: config !== null && (obuUrl.text !== config.obuAddress
                                            || obuPassword.text !== config.obuPassword
                                            || passback.value !== config.passbackSecs
                                            || passbackQr.checked !== config.passbackQrEnabled)
    readonly property bool changed: terminalChanged || shutdownDelay.value !== manager.shutdownDelaySec
                                    || errorDesc.checked !== manager.showErrorDesc

    function save() {
        if (terminalChanged && !maintenance.saveValidatorConfig(obuUrl.text, obuPassword.text,
                                                                passback.value, passbackQr.checked)) {
            StackView.view.showMessage(manager.dynTr + (config.isObuAddress(obuUrl.text)
                                       ? qsTr("The validator service could not be reached: nothing was saved")
                                       : qsTr("The OBC URL is not valid. Example: mqtt://10.0.0.5:1883")))
            return
        }
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
                width: 290
                text: page.config ? page.config.obuAddress : ""
                inputMethodHints: Qt.ImhUrlCharactersOnly | Qt.ImhNoPredictiveText | Qt.ImhNoAutoUppercase
                onAccepted: focus = false
            }
            // The OBU's password, apart from the address so that it is never shown.
            TextField {
                id: obuPassword
                objectName: "obuPassword"
                width: 160
                text: page.config ? page.config.obuPassword : ""
                placeholderText: manager.dynTr + qsTr("Password")
                echoMode: TextInput.Password
                inputMethodHints: Qt.ImhHiddenText | Qt.ImhSensitiveData | Qt.ImhNoPredictiveText | Qt.ImhNoAutoUppercase
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
