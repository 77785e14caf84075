import QtQuick 2.15
import QtTest 1.15
import KVRTTest 1.0

// The gate page: its sub-pages through one passage, the texts of both kinds of
// gate in English and Greek, and the tap that asks for a card at an entry gate.
Item {
    width: 1024
    height: 480

    StandInManager {
        id: manager
    }

    Loader {
        id: loader
        anchors.fill: parent
    }

    TestCase {
        id: test
        name: "GatePage"
        when: windowShown

        readonly property var gate: loader.item

        function messagePage() {
            return findChild(gate, "gateMessage")
        }

        // The text the passenger sees now.
        function shownText() {
            if (findChild(gate, "gateExit").visible)
                return findChild(gate, "exitMessage").message
            if (findChild(gate, "gateBusy").item)
                return findChild(findChild(gate, "gateBusy").item, "busyText").text
            return messagePage().message
        }

        function shownIcon() {
            if (findChild(gate, "gateExit").visible)
                return String(findChild(gate, "exitMessage").icon)
            return String(messagePage().icon)
        }

        function init() {
            manager.language = "en_US"
            manager.isEntryGate = true
            manager.errorOccured = false
            manager.errorMessageScreen = ""
            manager.message = ""
            loader.source = "qrc:/qml/screens/EntryGate.qml"
            verify(gate !== null)
            compare(gate.phase, "initial")
        }

        function cleanup() {
            loader.source = ""
            manager.language = "en_US"
        }

        function test_texts_data() {
            const left = "qrc:/qml/images/Icons/chevron-left.svg"
            const right = "qrc:/qml/images/Icons/chevron-right.svg"
            return [
                { tag: "entry, English", entry: true, language: "en_US", icon: left,
                  initial: "Press button for entry", final: "Please collect your card",
                  front: "Front License Plate", rear: "Rear License Plate" },
                { tag: "exit, English", entry: false, language: "en_US", icon: right,
                  initial: "Please insert your card", final: "Have a nice trip",
                  front: "Front License Plate", rear: "Rear License Plate" },
                { tag: "entry, Greek", entry: true, language: "el_GR", icon: left,
                  initial: "Πατήστε το κουμπί για είσοδο", final: "Παρακαλώ παραλάβετε την κάρτα σας",
                  front: "Μπροστινή Πινακίδα Οχήματος", rear: "Πίσω Πινακίδα Οχήματος" },
                { tag: "exit, Greek", entry: false, language: "el_GR", icon: right,
                  initial: "Παρακαλώ εισάγετε την κάρτα σας", final: "Καλό ταξίδι",
                  front: "Μπροστινή Πινακίδα Οχήματος", rear: "Πίσω Πινακίδα Οχήματος" }
            ]
        }

        function test_texts(data) {
            manager.isEntryGate = data.entry
            manager.language = data.language
            compare(shownText(), data.initial)
            compare(shownIcon(), data.icon)

            manager.processStarted()
            manager.processFinished()
            compare(gate.phase, "final")
            compare(shownText(), data.final)
            compare(shownIcon(), data.icon)
            compare(findChild(gate, "frontPlate").caption, data.front)
            compare(findChild(gate, "rearPlate").caption, data.rear)
        }

        function test_followsLanguageAndGateKindLive() {
            compare(shownText(), "Press button for entry")
            manager.language = "el_GR"
            compare(shownText(), "Πατήστε το κουμπί για είσοδο")
            manager.isEntryGate = false
            compare(shownText(), "Παρακαλώ εισάγετε την κάρτα σας")
            compare(shownIcon(), "qrc:/qml/images/Icons/chevron-right.svg")
            manager.language = "en_GB"
            compare(shownText(), "Please insert your card")
            manager.isEntryGate = true
            compare(shownText(), "Press button for entry")
            compare(shownIcon(), "qrc:/qml/images/Icons/chevron-left.svg")
        }

        function test_successfulPassage() {
            manager.processFinished() // Not issuing: ignored.
            compare(gate.phase, "initial")

            manager.processStarted()
            compare(gate.phase, "busy")
            manager.message = "Issuing card"
            compare(shownText(), "Issuing card")

            manager.processFinished()
            compare(gate.phase, "final")
            verify(findChild(gate, "gateBusy").item === null)

            manager.resetInitialScreen()
            compare(gate.phase, "initial")
            compare(shownText(), "Press button for entry")
        }

        function test_failedPassageShowsManagerErrorText() {
            manager.processStarted()
            manager.errorOccured = true
            manager.errorMessageScreen = "There are no cards available \n Please wait for assistance"
            manager.processFinished()
            compare(gate.phase, "error")
            // The error text is shown as the manager gives it, also under Greek.
            manager.language = "el_GR"
            compare(shownText(), "There are no cards available \n Please wait for assistance")
            compare(shownIcon(), "qrc:/qml/images/Icons/chevron-left.svg")

            manager.resetInitialScreen()
            compare(gate.phase, "initial")
            compare(shownText(), "Πατήστε το κουμπί για είσοδο")
        }

        function test_keepsItsStateWhileHidden() {
            manager.processStarted()
            manager.processFinished()
            loader.visible = false
            compare(gate.phase, "final")
            loader.visible = true
            compare(shownText(), "Please collect your card")
        }

        function test_tapAsksForCardAtEntryGateOnly() {
            const before = manager.issueCardCalls
            mouseClick(messagePage())
            compare(manager.issueCardCalls, before + 1)

            manager.isEntryGate = false
            mouseClick(messagePage())
            compare(manager.issueCardCalls, before + 1)

            // Not while a passage is under way.
            manager.isEntryGate = true
            manager.processStarted()
            manager.processFinished()
            mouseClick(findChild(gate, "gateExit"))
            compare(manager.issueCardCalls, before + 1)
        }

        // A passage the manager starts and ends in one go (an issuing refused
        // at once) still leaves the busy page.
        function test_immediateEndOfPassage() {
            manager.errorOccured = true
            manager.errorMessageScreen = "Please try again"
            manager.processStarted()
            manager.processFinished()
            compare(gate.phase, "error")
            compare(shownText(), "Please try again")
        }

        function test_busyPageTapIssuesCard() {
            manager.processStarted()
            const busy = findChild(gate, "gateBusy").item
            verify(findChild(busy, "busyIndicator").running)
            const before = manager.issueCardCalls
            mouseClick(busy)
            compare(manager.issueCardCalls, before + 1)
        }
    }
}
