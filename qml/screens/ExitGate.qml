import QtQuick 2.15

// Closing page of a gate passage: the vehicle's plates at the sides and the
// gate's message in the middle.
Item {
    id: page

    property url icon
    property string message

    component Plate: Column {
        property alias plate: plateText.text
        property alias caption: captionText.text
        property int alignment: Text.AlignLeft

        spacing: 4

        Text {
            id: plateText
            anchors.left: alignment === Text.AlignLeft ? parent.left : undefined
            anchors.right: alignment === Text.AlignRight ? parent.right : undefined
            color: "#333333"
            font.family: "DejaVu Sans"
            font.pointSize: 32
            font.bold: true
            font.letterSpacing: 1.5
        }

        Text {
            id: captionText
            anchors.left: alignment === Text.AlignLeft ? parent.left : undefined
            anchors.right: alignment === Text.AlignRight ? parent.right : undefined
            color: "#333333"
            font.family: "DejaVu Sans"
            font.pointSize: 10
        }
    }

    Plate {
        objectName: "frontPlate"
        anchors.left: parent.left
        anchors.leftMargin: 25
        y: 70
        plate: "ABE 1234"
        caption: manager.dynTr + qsTr("Front License Plate")
    }

    Plate {
        objectName: "rearPlate"
        anchors.right: parent.right
        anchors.rightMargin: 25
        y: 70
        alignment: Text.AlignRight
        plate: "ABE 5678"
        caption: manager.dynTr + qsTr("Rear License Plate")
    }

    MessageScreen {
        objectName: "exitMessage"
        anchors.fill: parent
        anchors.topMargin: 100
        icon: page.icon
        message: page.message
    }
}
