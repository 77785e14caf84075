import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Controls.Material 2.15

// The manager's status line over a spinning indicator.
Item {
    id: page

    // Whether a touch asks the manager for a card (it decides whether one can be issued).
    property bool requestsCards: true

    Column {
        anchors.centerIn: parent
        width: Math.min(parent.width - 80, 760)
        spacing: 30

        Text {
            objectName: "busyText"
            width: parent.width
            text: manager.dynTr + manager.message
            wrapMode: Text.Wrap
            horizontalAlignment: Text.AlignHCenter
            color: "#112D63"
            font.family: "DejaVu Sans"
            font.pointSize: 22
        }

        BusyIndicator {
            objectName: "busyIndicator"
            anchors.horizontalCenter: parent.horizontalCenter
            width: Math.min(page.width, page.height) / 5
            height: width
            running: page.visible
            Material.accent: "#009FDF"
        }
    }

    MouseArea {
        anchors.fill: parent
        enabled: page.requestsCards
        onClicked: {
            console.info("Button pressed!")
            manager.issueCard()
        }
    }
}
