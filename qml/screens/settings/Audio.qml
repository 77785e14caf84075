import QtQuick 2.15
import QtQuick.Controls 2.15
import "../../controls"

// The board's audio switch and the system volume, tried out on release.
SettingsPage {
    id: page

    SettingsGroup {
        title: manager.dynTr + qsTr("Audio")

        SettingsRow {
            label: manager.dynTr + qsTr("Audio Enabled")

            SettingSwitch {
                objectName: "audioEnabled"
                checked: board.audioEnabled
                onToggled: board.setAudioEnabled(checked)
            }
        }
        SettingsRow {
            label: manager.dynTr + qsTr("Audio Volume")

            Slider {
                id: volume
                objectName: "audioVolume"
                width: 360
                from: 0
                to: 100
                stepSize: 1
                focusPolicy: Qt.NoFocus
                value: inspector.audioVolume
                onPressedChanged: {
                    if (pressed)
                        return
                    inspector.audioPlay("/opt/ovant/kvrtterminalui/Valid.wav")
                    inspector.setAudioVolume(value)
                }
            }
            Label {
                anchors.verticalCenter: parent.verticalCenter
                width: 60
                text: Math.round(volume.value) + " %"
                font.pixelSize: 16
            }
        }
    }
}
