import QtQuick 2.15

// The gate page of both kinds of gate (manager.isEntryGate). Its state follows
// the manager through one passage:
//   initial --processStarted--> busy --processFinished--> error | final
//   error --resetInitialScreen--> initial
//   final --resetInitialScreen--> roadBusy if the road is busy, else initial
//   roadBusy --resetInitialScreen--> final
// At an entry gate a tap on the initial page asks the manager for a card.
Item {
    id: page

    // Where the passage is, and the sub-page shown for it.
    property string phase: "initial"
    readonly property int pageIndex: ["initial", "busy", "error", "final", "roadBusy"].indexOf(phase)

    // The manager reports no busy road, so a passage always ends on the initial page.
    readonly property bool roadBusy: false

    readonly property bool entryGate: manager.isEntryGate
    readonly property url leftIcon: "qrc:/qml/images/Icons/chevron-left.svg"
    readonly property url rightIcon: "qrc:/qml/images/Icons/chevron-right.svg"

    readonly property url currentIcon: {
        switch (pageIndex) {
        case 0:
        case 3:
            return entryGate ? leftIcon : rightIcon
        default:
            return leftIcon
        }
    }

    readonly property string currentText: {
        switch (pageIndex) {
        case 0:
            return manager.dynTr + (entryGate ? qsTr("Press button for entry") : qsTr("Please insert your card"))
        case 2:
            // The manager's text is the English source of its translation.
            return manager.dynTr + qsTranslate("GUIManager", manager.errorMessageScreen)
        case 3:
            return manager.dynTr + (entryGate ? qsTr("Please collect your card") : qsTr("Have a nice trip"))
        case 4:
            return manager.dynTr + qsTr("Successful transaction \n Please wait until the road is free")
        default:
            return ""
        }
    }

    // Transitions: phase -> manager signal -> next phase. They run as the
    // signal arrives, so that a manager reporting the start and the end of a
    // passage in one go (an issuing refused at once) still ends it.
    readonly property var transitions: ({
        "initial": { "processStarted": () => "busy" },
        "busy": { "processFinished": () => manager.errorOccured === true ? "error" : "final" },
        "error": { "resetInitialScreen": () => "initial" },
        "final": { "resetInitialScreen": () => page.roadBusy ? "roadBusy" : "initial" },
        "roadBusy": { "resetInitialScreen": () => "final" }
    })

    function handle(signalName) {
        const next = transitions[phase][signalName]
        if (next)
            phase = next()
    }

    Connections {
        target: manager

        function onProcessStarted() { page.handle("processStarted") }
        function onProcessFinished() { page.handle("processFinished") }
        function onResetInitialScreen() { page.handle("resetInitialScreen") }
    }

    MessageScreen {
        id: messagePage
        objectName: "gateMessage"
        anchors.fill: parent
        visible: page.pageIndex === 0 || page.pageIndex === 2 || page.pageIndex === 4
        icon: page.currentIcon
        message: page.currentText

        MouseArea {
            objectName: "gateTouch"
            anchors.fill: parent
            enabled: page.pageIndex === 0 && page.entryGate
            onClicked: {
                console.info("[QML] Card requested.")
                manager.issueCard()
            }
        }
    }

    // Made in the background: at an exit gate a passage starts and ends in one go, and
    // the page that would be up for no frame at all is then never made.
    Loader {
        objectName: "gateBusy"
        anchors.fill: parent
        active: page.pageIndex === 1
        asynchronous: true
        source: "Busy.qml"
        // A passage is running: a touch now is not a request for another card.
        onLoaded: item.requestsCards = false
    }

    ExitGate {
        objectName: "gateExit"
        anchors.fill: parent
        visible: page.pageIndex === 3
        icon: page.currentIcon
        message: page.currentText
    }
}
