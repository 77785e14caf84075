import QtQuick 2.15
import com.ovant.gui.passage 1.0

// The gate page of both kinds of gate (manager.isEntryGate): one sub-page for each phase
// of the manager's passage as it is shown (manager.passage.shownPhase). At an entry gate a
// tap on the initial page asks the manager for a card.
Item {
    id: page

    readonly property int phase: manager.passage.shownPhase

    readonly property bool entryGate: manager.isEntryGate
    readonly property url leftIcon: "qrc:/qml/images/Icons/chevron-left.svg"
    readonly property url rightIcon: "qrc:/qml/images/Icons/chevron-right.svg"

    readonly property url currentIcon: {
        switch (phase) {
        case GatePassage.Initial:
        case GatePassage.Final:
            return entryGate ? leftIcon : rightIcon
        case GatePassage.Error:
        case GatePassage.RoadBusy:
            return leftIcon
        default:
            // The busy page has none: the message page, hidden with the same change, is
            // not made to draw an icon it never shows.
            return ""
        }
    }

    readonly property string currentText: {
        switch (phase) {
        case GatePassage.Initial:
            return manager.dynTr + (entryGate ? qsTr("Press button for entry") : qsTr("Please insert your card"))
        case GatePassage.Error:
            // The manager's text is the English source of its translation.
            return manager.dynTr + qsTranslate("GUIManager", manager.errorMessageScreen)
        case GatePassage.Final:
            return manager.dynTr + (entryGate ? qsTr("Please collect your card") : qsTr("Have a nice trip"))
        case GatePassage.RoadBusy:
            return manager.dynTr + qsTr("Successful transaction \n Please wait until the road is free")
        default:
            return ""
        }
    }

    MessageScreen {
        id: messagePage
        objectName: "gateMessage"
        anchors.fill: parent
        visible: page.phase === GatePassage.Initial || page.phase === GatePassage.Error
                 || page.phase === GatePassage.RoadBusy
        icon: page.currentIcon
        message: page.currentText

        MouseArea {
            objectName: "gateTouch"
            anchors.fill: parent
            enabled: page.phase === GatePassage.Initial && page.entryGate
            onClicked: manager.issueCard()
        }
    }

    // Made in the background, and only for a passage that stays busy: at an exit gate a
    // passage starts and ends in one go, and the page shows its end only.
    Loader {
        objectName: "gateBusy"
        anchors.fill: parent
        active: page.phase === GatePassage.Busy
        asynchronous: true
        source: "Busy.qml"
        // A passage is running: a touch now is not a request for another card.
        onLoaded: item.requestsCards = false
    }

    ExitGate {
        objectName: "gateExit"
        anchors.fill: parent
        visible: page.phase === GatePassage.Final
        icon: page.currentIcon
        message: page.currentText
    }
}
