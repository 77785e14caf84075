import QtQuick 2.15
import "../controls"

// An icon above a message, centred: the common layout of the passenger pages.
// An optional detail line (e.g. a reason code) goes under the message.
Item {
    id: page

    property url icon
    property string message
    property string detail

    Column {
        anchors.centerIn: parent
        width: Math.min(parent.width - 80, 760)
        spacing: 20

        Image {
            objectName: "messageIcon"
            anchors.horizontalCenter: parent.horizontalCenter
            // Drawn while shown only: a hidden page holds no decoded image.
            source: visible ? page.icon : ""
            fillMode: Image.PreserveAspectFit
        }

        TextBox {
            objectName: "messageText"
            width: parent.width
            text: page.message
            textSize: 14
            textBold: true
            textColor: "#112D63"
        }

        TextBox {
            objectName: "messageDetail"
            width: parent.width
            visible: page.detail !== ""
            text: page.detail
            textSize: 12
            textColor: "#333333"
        }
    }
}
