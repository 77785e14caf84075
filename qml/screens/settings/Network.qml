import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15

// The network state in two tabs: the primary connection and the wired interface.
Item {
    id: page

    property string title

    TabBar {
        id: tabs
        objectName: "networkTabs"
        width: parent.width

        TabButton {
            focusPolicy: Qt.NoFocus
            text: manager.dynTr + qsTr("General")
        }
        TabButton {
            focusPolicy: Qt.NoFocus
            text: manager.dynTr + qsTr("Ethernet")
        }
    }

    StackLayout {
        anchors.top: tabs.bottom
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.bottom: parent.bottom
        currentIndex: tabs.currentIndex

        NetworkPri { }
        Ethernet { }
    }
}
