import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import QtQuick.Controls.Material 2.15
import "../../controls"

// The event log, newest first, narrowed by a search text and a period. The
// severity choice is offered but the live log carries no severity to filter on.
Item {
    id: page

    property string title

    // The list (up to a thousand events) is filled once the page is in place, so that
    // the page opens without waiting for its rows; at once outside a page stack. (Made
    // in the background for the settings' stack, it is not in the view yet, only its child.)
    property bool filled: false

    StackView.onActivated: filled = true
    Component.onCompleted: {
        if (!StackView.view && !(parent && parent.objectName === "settingsStack"))
            filled = true
        // The manager outlives the page: it filters by what the fields say from the start,
        // not by the search of an earlier visit. The period combo applies its own value.
        eventLogManager.applyFilter(search.text)
    }

    RowLayout {
        id: filters
        x: 20
        y: 10
        width: parent.width - 40
        spacing: 12

        TextField {
            id: search
            objectName: "eventSearch"
            Layout.fillWidth: true
            placeholderText: manager.dynTr + qsTr("Search")
            inputMethodHints: Qt.ImhNoPredictiveText
            onTextChanged: eventLogManager.applyFilter(text)
            onAccepted: focus = false
        }
        CustomButton {
            objectName: "eventClear"
            color: "#555555"
            textPointSize: 12
            text: manager.dynTr + qsTr("CLEAR")
            onClicked: search.clear()
        }
        SettingCombo {
            objectName: "eventSeverity"
            Layout.preferredWidth: 190
            model: [qsTr("Critical"), qsTr("Warning"), qsTr("All messages")]
            currentIndex: 2
        }
        SettingCombo {
            objectName: "eventPeriod"
            Layout.preferredWidth: 190
            // The manager knows the periods by their English names.
            textRole: "text"
            valueRole: "period"
            model: [
                { text: qsTr("All history"), period: "All history" },
                { text: qsTr("Last hour"), period: "Last hour" },
                { text: qsTr("Last 2 hours"), period: "Last 2 hours" },
                { text: qsTr("Today"), period: "Today" },
                { text: qsTr("Yesterday"), period: "Yesterday" },
                { text: qsTr("Last week"), period: "Last week" },
                { text: qsTr("Last month"), period: "Last month" }
            ]
            onCurrentValueChanged: if (currentValue !== undefined) eventLogManager.applyFilterPeriod(currentValue)
        }
    }

    ListView {
        id: list
        objectName: "eventList"
        anchors.top: filters.bottom
        anchors.topMargin: 10
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.bottom: parent.bottom
        clip: true
        model: page.filled ? eventLogManager.data : []
        boundsBehavior: Flickable.StopAtBounds
        ScrollBar.vertical: ScrollBar { }

        // A plain row, as the style's item delegate lays it out: that delegate (its
        // ripple) made the list's first frame take some 3 ms a row with the software
        // renderer.
        delegate: Item {
            id: row

            property bool expanded: false

            width: ListView.view.width
            height: Math.max(48, content.implicitHeight + 16)

            Rectangle {
                anchors.fill: parent
                visible: tap.pressed
                color: row.Material.rippleColor
            }

            MouseArea {
                id: tap
                anchors.fill: parent
                onClicked: row.expanded = !row.expanded
            }

            Column {
                id: content
                x: 16
                y: 8
                width: parent.width - 32
                spacing: 4

                RowLayout {
                    width: parent.width

                    Label {
                        Layout.fillWidth: true
                        text: modelData.name
                        elide: Text.ElideRight
                        font.pixelSize: 16
                        font.bold: true
                    }
                    Label {
                        text: modelData.timestamp.toLocaleString(Qt.locale(manager.language), "dd-MMM-yy hh:mm")
                        opacity: 0.7
                        font.pixelSize: 14
                    }
                }
                Label {
                    width: parent.width
                    visible: text !== ""
                    text: modelData.description
                    wrapMode: Text.Wrap
                    maximumLineCount: row.expanded ? 100 : 1
                    elide: Text.ElideRight
                    opacity: 0.8
                    font.pixelSize: 14
                }
            }
        }
    }
}
