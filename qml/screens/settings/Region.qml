import QtQuick 2.15
import QtQuick.Controls 2.15
import "../../controls"

// Language and formats of the interface, and the clock's zone and time server.
SettingsPage {
    id: page

    readonly property var clock: manager.clock ? manager.clock : null
    readonly property var locale: Qt.locale(manager.language)
    property date now: new Date()
    // The zone in force, as the clock reads it from the system.
    readonly property int zoneInForce: clock ? clock.timezones.indexOf(clock.timezone) : -1

    // Reading the clock starts processes: once the page is on screen, not while it opens.
    StackView.onActivated: if (clock) clock.refresh()

    // A zone chosen but not set: the combo shows the zone in force again, and why.
    Connections {
        target: page.clock

        function onTimezoneNotSet(zone) {
            timezoneCombo.currentIndex = Qt.binding(() => page.zoneInForce)
            if (page.StackView.view)
                page.StackView.view.showMessage(qsTr("The time zone could not be set to %1.").arg(zone))
        }
    }

    Timer {
        interval: 1000
        running: true
        repeat: true
        onTriggered: page.now = new Date()
    }

    SettingsGroup {
        title: manager.dynTr + qsTr("Region")

        SettingsRow {
            label: manager.dynTr + qsTr("Locale")

            SettingCombo {
                objectName: "localeCombo"
                width: 220
                model: ["en_US", "en_IE", "el_GR"]
                currentIndex: model.indexOf(manager.language)
                onActivated: manager.language = model[index]
            }
        }
        SettingsRow {
            label: manager.dynTr + qsTr("Language")

            Label {
                anchors.verticalCenter: parent.verticalCenter
                text: page.locale.nativeLanguageName
                font.pixelSize: 16
            }
            Image {
                objectName: "languageFlag"
                anchors.verticalCenter: parent.verticalCenter
                height: 24
                fillMode: Image.PreserveAspectFit
                source: manager.language === "el_GR" ? "qrc:/qml/images/Flags/gr.png"
                                                     : "qrc:/qml/images/Flags/us.png"
            }
        }
        SettingsRow {
            label: manager.dynTr + qsTr("Currency Format")
            value: Number(0.99).toLocaleCurrencyString(page.locale)
        }
        SettingsRow {
            label: manager.dynTr + qsTr("Time Format")
            value: page.now.toLocaleString(page.locale, "d MMM yy, hh:mm:ss t")
        }
    }

    SettingsGroup {
        title: manager.dynTr + qsTr("Time")

        SettingsRow {
            label: manager.dynTr + qsTr("Timezone")

            SettingCombo {
                id: timezoneCombo
                objectName: "timezoneCombo"
                width: 360
                model: page.clock ? page.clock.timezones : []
                currentIndex: page.zoneInForce
                onActivated: page.clock.timezone = model[index]
            }
        }
        SettingsRow {
            label: manager.dynTr + qsTr("NTP server")

            TextField {
                objectName: "ntpServer"
                width: 360
                text: page.clock ? page.clock.ntpServer : ""
                inputMethodHints: Qt.ImhUrlCharactersOnly | Qt.ImhNoPredictiveText | Qt.ImhNoAutoUppercase
                onAccepted: focus = false
                onEditingFinished: if (page.clock) page.clock.ntpServer = text
            }
        }
        SettingsRow {
            label: manager.dynTr + qsTr("NTP Active")

            SettingSwitch {
                objectName: "ntpActive"
                checked: page.clock ? page.clock.ntpEnabled : false
                onToggled: page.clock.ntpEnabled = checked
            }
        }
        SettingsRow {
            label: manager.dynTr + qsTr("NTP Synced")

            Rectangle {
                objectName: "ntpSynced"
                anchors.verticalCenter: parent.verticalCenter
                width: 18
                height: 18
                radius: 9
                color: page.clock && page.clock.ntpSynced ? "#4CAF50" : "#F44336"
            }
        }
    }

    CustomButton {
        anchors.right: parent.right
        width: 200
        height: 56
        textPointSize: 12
        text: manager.dynTr + qsTr("NTP SYNC")
        onClicked: if (page.clock) page.clock.ntpSync()
    }
}
