import QtQuick 2.15
import QtQuick.Templates 2.15 as T

// A row of the settings menu: icon, title and hint, and an arrow to the page.
T.AbstractButton {
    id: button

    property url iconSource
    property string hint

    focusPolicy: Qt.NoFocus

    background: Rectangle {
        gradient: Gradient {
            GradientStop { position: 0; color: button.down ? "#444" : "#333" }
            GradientStop { position: 1; color: button.down ? "#333" : "#222" }
        }

        Rectangle {
            anchors.bottom: parent.bottom
            width: parent.width
            height: 1
            color: "#111"
        }
    }

    contentItem: Item {
        Image {
            id: image
            x: 20
            anchors.verticalCenter: parent.verticalCenter
            width: Math.min(40, button.height - 16)
            height: width
            sourceSize: Qt.size(width, height)
            // Drawn while shown only: a hidden page holds no decoded image.
            source: visible ? button.iconSource : ""
        }

        Column {
            anchors.left: image.right
            anchors.leftMargin: 20
            anchors.right: arrow.left
            anchors.verticalCenter: parent.verticalCenter
            spacing: 2

            Text {
                text: button.text
                color: "#e7e7e7"
                font.family: "DejaVu Sans"
                font.pixelSize: 18
                font.bold: true
            }

            Text {
                width: parent.width
                text: button.hint
                color: "#e7e7e7"
                opacity: 0.7
                elide: Text.ElideRight
                font.family: "DejaVu Sans"
                font.pixelSize: 13
            }
        }

        Image {
            id: arrow
            anchors.right: parent.right
            anchors.rightMargin: 20
            anchors.verticalCenter: parent.verticalCenter
            width: 24
            height: 24
            sourceSize: Qt.size(24, 24)
            source: "qrc:/qml/images/Icons/chevron-right.svg"
        }
    }
}
