import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Controls.Material 2.15

// Modal popup in two modes. Message mode: shows a text (and an optional image)
// and closes on any tap. Dialog mode: "Yes" / "No" buttons that raise their
// signal and close; nothing else closes it. A dialog is answered once: a second
// tap while it closes is none.
Popup {
    id: popup

    property bool isDialog: false
    property string text
    property int windowWidth: 400
    property int windowHeight: imageSource == "" ? 200 : 300
    property url imageSource: ""
    property size imageSize: Qt.size(200, 200)
    // Taken by the first of "Yes" and "No" since the dialog was opened.
    property bool answered: false

    signal buttonYesPressed()
    signal buttonNoPressed()

    parent: Overlay.overlay
    anchors.centerIn: parent
    width: windowWidth
    height: windowHeight
    modal: true
    focus: true
    padding: 16
    closePolicy: isDialog ? Popup.NoAutoClose : Popup.CloseOnReleaseOutside | Popup.CloseOnEscape
    onAboutToShow: answered = false

    background: Rectangle {
        color: popup.Material.background
        border.color: popup.Material.accent
        border.width: 2
        radius: 4
    }

    contentItem: Item {
        Column {
            id: body
            anchors.left: parent.left
            anchors.right: parent.right
            anchors.top: parent.top
            anchors.bottom: popup.isDialog ? buttons.top : parent.bottom
            anchors.bottomMargin: popup.isDialog ? 10 : 0
            spacing: 10

            Text {
                id: message
                objectName: "popupText"
                width: parent.width
                height: popup.imageSource == "" ? parent.height : implicitHeight
                text: popup.text
                wrapMode: Text.Wrap
                horizontalAlignment: Text.AlignHCenter
                verticalAlignment: Text.AlignVCenter
                color: popup.Material.foreground
                font.family: "DejaVu Sans"
                font.pointSize: 10
            }

            Image {
                anchors.horizontalCenter: parent.horizontalCenter
                visible: popup.imageSource != ""
                source: popup.imageSource
                width: popup.imageSize.width
                height: popup.imageSize.height
                sourceSize: popup.imageSize
                fillMode: Image.PreserveAspectFit
            }
        }

        // A tap anywhere on a message closes it.
        MouseArea {
            anchors.fill: parent
            enabled: !popup.isDialog
            onClicked: popup.close()
        }

        Row {
            id: buttons
            anchors.horizontalCenter: parent.horizontalCenter
            anchors.bottom: parent.bottom
            // 15 pixels from the popup's bottom edge, padding included.
            anchors.bottomMargin: 15 - popup.bottomPadding
            spacing: 60
            visible: popup.isDialog

            CustomButton {
                objectName: "popupYes"
                width: 100
                height: 40
                text: manager.dynTr + qsTr("Yes")
                onClicked: {
                    if (popup.answered)
                        return
                    popup.answered = true
                    popup.close()
                    popup.buttonYesPressed()
                }
            }

            CustomButton {
                objectName: "popupNo"
                width: 100
                height: 40
                text: manager.dynTr + qsTr("No")
                onClicked: {
                    if (popup.answered)
                        return
                    popup.answered = true
                    popup.close()
                    popup.buttonNoPressed()
                }
            }
        }
    }
}
