import QtQuick 2.15
import QtTest 1.15
import KVRTTest 1.0

// The device registration page: serial number validation, the confirmation
// dialog, and typing with the built-in on-screen keyboard (the platform
// keyboard is not installed here).
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
        name: "InitPage"
        when: windowShown

        readonly property var page: loader.item

        function field() { return findChild(page, "serialField") }
        function saveButton() { return findChild(page, "saveButton") }
        function hint() { return findChild(page, "serialHint") }
        function dialog() { return findChild(page, "confirmation") }
        function keyboard() { return findChild(page, "keyboard") }

        function key(name) {
            const found = findChild(keyboard(), "key_" + name)
            verify(found !== null, "no key " + name)
            return found
        }

        function init() {
            manager.deviceId = ""
            loader.source = "qrc:/qml/screens/InitPage.qml"
            verify(page !== null)
        }

        function cleanup() {
            loader.source = ""
        }

        function test_validation_data() {
            return [
                { tag: "K and 8 digits", text: "K12345678", valid: true },
                { tag: "C and 8 digits", text: "C00000001", valid: true },
                { tag: "the placeholder", text: "K00000000", valid: true },
                { tag: "empty", text: "", valid: false },
                { tag: "two leading letters", text: "KC1234567", valid: false },
                { tag: "two letters and 8 digits", text: "KK12345678", valid: false },
                { tag: "comma", text: "K1234,678", valid: false },
                { tag: "seven digits", text: "K1234567", valid: false },
                { tag: "nine digits", text: "K123456789", valid: false },
                { tag: "other first letter", text: "A12345678", valid: false },
                { tag: "lower case k", text: "k12345678", valid: false },
                { tag: "leading space", text: " K12345678", valid: false },
                { tag: "trailing space", text: "K12345678 ", valid: false },
                { tag: "non-ASCII digits", text: "K١٢٣٤٥٦٧٨", valid: false }
            ]
        }

        function test_validation(data) {
            field().text = data.text
            compare(page.inputValid, data.valid)
            compare(saveButton().enabled, data.valid)
            compare(hint().opacity, data.valid ? 0 : 1)
        }

        function test_prefilledWithDeviceId() {
            loader.source = ""
            manager.deviceId = "C87654321"
            loader.source = "qrc:/qml/screens/InitPage.qml"
            compare(field().text, "C87654321")
            verify(saveButton().enabled)
            compare(field().placeholderText, "K00000000")
        }

        function test_saveAsksForConfirmation() {
            field().text = "K12345678"
            mouseClick(saveButton())
            tryCompare(dialog(), "opened", true)
            compare(dialog().text, "Please confirm the serial number\n\nK12345678")
            compare(dialog().isDialog, true)
            const saved = manager.savedDeviceIds.length

            // "No" only closes.
            mouseClick(findChild(dialog().contentItem, "popupNo"))
            tryCompare(dialog(), "visible", false)
            compare(manager.savedDeviceIds.length, saved)

            // "Yes" saves the confirmed text.
            mouseClick(saveButton())
            tryCompare(dialog(), "opened", true)
            mouseClick(findChild(dialog().contentItem, "popupYes"))
            tryCompare(dialog(), "visible", false)
            compare(manager.savedDeviceIds.length, saved + 1)
            compare(manager.savedDeviceIds[saved], "K12345678")
        }

        function test_dialogIgnoresTapsBesideButtons() {
            field().text = "K12345678"
            mouseClick(saveButton())
            tryCompare(dialog(), "opened", true)
            mouseClick(loader, 20, 20)
            mouseClick(dialog().contentItem, 10, 10)
            verify(dialog().visible)
            mouseClick(findChild(dialog().contentItem, "popupNo"))
            tryCompare(dialog(), "visible", false)
        }

        function test_invalidInputOpensNoDialog() {
            field().text = "K1234"
            mouseClick(saveButton())
            field().accepted()
            wait(50)
            verify(!dialog().visible)
        }

        function test_typingWithBuiltInKeyboard() {
            compare(keyboard().platform, false)
            verify(!keyboard().active)

            mouseClick(field())
            verify(field().activeFocus)
            tryCompare(keyboard(), "active", true)
            // The panel slides in at the bottom of the page.
            tryCompare(keyboard(), "y", page.height - keyboard().height)

            // The serial field takes upper case letters.
            mouseClick(key("k"))
            for (const digit of "12345679")
                mouseClick(key(digit))
            compare(field().text, "K12345679")
            verify(field().activeFocus)
            mouseClick(key("backspace"))
            mouseClick(key("8"))
            compare(field().text, "K12345678")
            verify(page.inputValid)

            // Enter confirms like SAVE and puts the keyboard away.
            mouseClick(key("enter"))
            tryCompare(dialog(), "opened", true)
            compare(dialog().text, "Please confirm the serial number\n\nK12345678")
            tryCompare(keyboard(), "active", false)
            mouseClick(findChild(dialog().contentItem, "popupNo"))
            tryCompare(dialog(), "visible", false)
        }

        function test_keyboardFollowsFocus() {
            mouseClick(field())
            tryCompare(keyboard(), "active", true)
            tryCompare(keyboard(), "y", page.height - keyboard().height)
            mouseClick(key("hide"))
            tryCompare(keyboard(), "active", false)
            verify(!field().activeFocus)
            tryCompare(keyboard(), "visible", false)

            // Touching the field again brings it back.
            mouseClick(field())
            tryCompare(keyboard(), "active", true)
            field().focus = false
            tryCompare(keyboard(), "active", false)
        }
    }
}
