import QtQuick 2.15
import QtQuick.Controls 2.15
import QtTest 1.15
import KVRTTest 1.0
import "qrc:/qml/controls"

// The built-in on-screen keyboard on plain text fields, as the settings pages
// will use it: case, selection, read-only fields and the panel's scope.
Item {
    id: root
    width: 1024
    height: 600

    StandInManager {
        id: manager
    }

    Item {
        id: form
        width: parent.width
        height: 300

        TextField { id: plain; x: 20; y: 20; width: 300 }
        TextField { id: readOnlyField; x: 20; y: 90; width: 300; readOnly: true; text: "fixed" }
    }

    TextField { id: outside; x: 400; y: 20; width: 300 }

    KeyboardPanel {
        id: panel
        scope: form
        y: 330
        width: parent.width
        height: 250
    }

    TestCase {
        name: "Keyboard"
        when: windowShown

        function key(name) {
            const found = findChild(panel, "key_" + name)
            verify(found !== null, "no key " + name)
            return found
        }

        function init() {
            plain.text = ""
            plain.forceActiveFocus()
            tryCompare(panel, "active", true)
        }

        function test_lowerCaseUntilShift() {
            mouseClick(key("a"))
            mouseClick(key("shift"))
            mouseClick(key("b"))
            mouseClick(key("shift"))
            mouseClick(key("c"))
            mouseClick(key("space"))
            mouseClick(key("."))
            compare(plain.text, "aBc .")
        }

        function test_replacesSelectionAndDeletesIt() {
            plain.text = "192.168.1.1"
            plain.select(4, 7)
            mouseClick(key("1"))
            mouseClick(key("0"))
            compare(plain.text, "192.10.1.1")
            plain.select(0, 4)
            mouseClick(key("backspace"))
            compare(plain.text, "10.1.1")
            plain.cursorPosition = 0
            mouseClick(key("backspace"))
            compare(plain.text, "10.1.1")
        }

        function test_enterRaisesAccepted() {
            let accepted = 0
            const count = function() { ++accepted }
            plain.accepted.connect(count)
            mouseClick(key("enter"))
            plain.accepted.disconnect(count)
            compare(accepted, 1)
        }

        function test_onlyEditableFieldsInScope() {
            readOnlyField.forceActiveFocus()
            tryCompare(panel, "active", false)
            outside.forceActiveFocus()
            tryCompare(panel, "active", false)
            mouseClick(key("x"))
            compare(outside.text, "")
            plain.forceActiveFocus()
            tryCompare(panel, "active", true)
        }

        function test_hideTakesFocusAway() {
            panel.hide()
            verify(!plain.activeFocus)
            tryCompare(panel, "active", false)
        }
    }
}
