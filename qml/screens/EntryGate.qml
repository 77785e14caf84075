import QtQuick 2.15
import QtQml.StateMachine 1.15 as DSM

// The gate page of both kinds of gate (manager.isEntryGate). A state machine
// follows the manager through one passage:
//   initial --processStarted--> busy --processFinished--> error | final
//   error --resetInitialScreen--> initial
//   final --resetInitialScreen--> roadBusy if the road is busy, else initial
//   roadBusy --resetInitialScreen--> final
// At an entry gate a tap on the initial page asks the manager for a card.
Item {
    id: page

    // Sub-page shown: 0 initial, 1 busy, 2 error, 3 final, 4 road busy.
    property int pageIndex: 0
    readonly property string stateName: ["initial", "busy", "error", "final", "roadBusy"][pageIndex]

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
            return manager.errorMessageScreen
        case 3:
            return manager.dynTr + (entryGate ? qsTr("Please collect your card") : qsTr("Have a nice trip"))
        case 4:
            return manager.dynTr + qsTr("Successful transaction \n Please wait until the road is free")
        default:
            return ""
        }
    }

    DSM.StateMachine {
        id: machine
        initialState: sInitial
        running: true

        DSM.State {
            id: sInitial
            onEntered: page.pageIndex = 0

            DSM.SignalTransition {
                targetState: sBusy
                signal: manager.processStarted
            }
        }

        DSM.State {
            id: sBusy
            onEntered: page.pageIndex = 1

            DSM.SignalTransition {
                targetState: sError
                signal: manager.processFinished
                guard: manager.errorOccured === true
            }
            DSM.SignalTransition {
                targetState: sFinal
                signal: manager.processFinished
                guard: manager.errorOccured !== true
            }
        }

        DSM.State {
            id: sError
            onEntered: page.pageIndex = 2

            DSM.SignalTransition {
                targetState: sInitial
                signal: manager.resetInitialScreen
            }
        }

        DSM.State {
            id: sFinal
            onEntered: page.pageIndex = 3

            DSM.SignalTransition {
                targetState: sRoadBusy
                signal: manager.resetInitialScreen
                guard: page.roadBusy
            }
            DSM.SignalTransition {
                targetState: sInitial
                signal: manager.resetInitialScreen
                guard: !page.roadBusy
            }
        }

        DSM.State {
            id: sRoadBusy
            onEntered: page.pageIndex = 4

            DSM.SignalTransition {
                targetState: sFinal
                signal: manager.resetInitialScreen
            }
        }
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

    Loader {
        objectName: "gateBusy"
        anchors.fill: parent
        active: page.pageIndex === 1
        source: "Busy.qml"
    }

    ExitGate {
        objectName: "gateExit"
        anchors.fill: parent
        visible: page.pageIndex === 3
        icon: page.currentIcon
        message: page.currentText
    }
}
