import QtQuick 2.15
import QtQuick.Window 2.15

// A built-in on-screen keyboard for terminals without the platform keyboard.
// It shows while an editable text field inside `scope` has the active focus and
// types into it directly; its keys never take the focus. Enter raises the
// field's `accepted` signal, the hide key takes the focus off the field.
Rectangle {
    id: keyboard

    property Item scope: null
    property bool shift: false

    readonly property Item target: isEditable(Window.activeFocusItem) && isInScope(Window.activeFocusItem)
                                   ? Window.activeFocusItem : null
    readonly property bool shown: target !== null
    readonly property bool upperCase: shift
                                      || (target !== null && (target.inputMethodHints & Qt.ImhUppercaseOnly) !== 0)

    // Rows of keys; `u` is the width in key units (11.5 per row).
    readonly property var rows: [
        [{ t: "1" }, { t: "2" }, { t: "3" }, { t: "4" }, { t: "5" }, { t: "6" }, { t: "7" }, { t: "8" },
         { t: "9" }, { t: "0" }, { k: "backspace", u: 1.5 }],
        [{ t: "q" }, { t: "w" }, { t: "e" }, { t: "r" }, { t: "t" }, { t: "y" }, { t: "u" }, { t: "i" },
         { t: "o" }, { t: "p" }, { t: "@", u: 1.5 }],
        [{ t: "a" }, { t: "s" }, { t: "d" }, { t: "f" }, { t: "g" }, { t: "h" }, { t: "j" }, { t: "k" },
         { t: "l" }, { k: "enter", u: 2.5 }],
        [{ k: "shift", u: 1.5 }, { t: "z" }, { t: "x" }, { t: "c" }, { t: "v" }, { t: "b" }, { t: "n" },
         { t: "m" }, { t: "," }, { t: "." }, { t: "-" }],
        [{ k: "hide", u: 1.5 }, { t: "/" }, { t: ":" }, { k: "space", u: 6 }, { t: "_" }, { t: "#" }]
    ]
    readonly property real padding: 8
    // Leaves a strip under the keys for the window's version text.
    readonly property real bottomPadding: 26
    readonly property real spacing: 6
    readonly property real unit: (width - 2 * padding + spacing) / 11.5
    readonly property real keyHeight: (height - padding - bottomPadding - (rows.length - 1) * spacing) / rows.length

    function isEditable(item) {
        return item !== null && typeof item.insert === "function" && typeof item.remove === "function"
               && item.cursorPosition !== undefined && item.readOnly === false
    }

    function isInScope(item) {
        if (scope === null)
            return true
        for (let p = item; p; p = p.parent) {
            if (p === scope)
                return true
        }
        return false
    }

    function type(text) {
        const field = target
        if (!field)
            return
        if (field.selectedText.length > 0)
            field.remove(field.selectionStart, field.selectionEnd)
        field.insert(field.cursorPosition, text)
    }

    function backspace() {
        const field = target
        if (!field)
            return
        if (field.selectedText.length > 0)
            field.remove(field.selectionStart, field.selectionEnd)
        else if (field.cursorPosition > 0)
            field.remove(field.cursorPosition - 1, field.cursorPosition)
    }

    function enter() {
        if (target && typeof target.accepted === "function")
            target.accepted()
    }

    function dismiss() {
        if (target)
            target.focus = false
    }

    function press(key) {
        switch (key.k) {
        case "backspace": backspace(); break
        case "enter": enter(); break
        case "shift": shift = !shift; break
        case "hide": dismiss(); break
        case "space": type(" "); break
        default: type(upperCase ? key.t.toUpperCase() : key.t)
        }
    }

    function label(key) {
        switch (key.k) {
        case "backspace": return "\u232B"
        case "enter": return "\u23CE"
        case "shift": return "\u21E7"
        case "hide": return "\u2328\u25BE"
        case "space": return ""
        default: return upperCase ? key.t.toUpperCase() : key.t
        }
    }

    color: "#E6EBF0"

    Rectangle {
        width: parent.width
        height: 1
        color: "#C5CFD9"
    }

    Column {
        x: keyboard.padding
        y: keyboard.padding
        spacing: keyboard.spacing

        Repeater {
            model: keyboard.rows

            Row {
                spacing: keyboard.spacing

                Repeater {
                    model: modelData

                    Rectangle {
                        id: key

                        readonly property bool special: modelData.k !== undefined
                        readonly property bool accent: modelData.k === "enter"
                                                       || (modelData.k === "shift" && keyboard.shift)

                        objectName: "key_" + (special ? modelData.k : modelData.t)
                        width: (modelData.u || 1) * keyboard.unit - keyboard.spacing
                        height: keyboard.keyHeight
                        radius: 6
                        color: accent ? (touch.pressed ? "#0090B4" : "#00ADD7")
                                      : touch.pressed ? "#BFE6F3" : special ? "#D2DAE2" : "#FFFFFF"
                        border.color: "#C5CFD9"
                        border.width: accent ? 0 : 1

                        Text {
                            anchors.centerIn: parent
                            text: keyboard.label(modelData)
                            color: key.accent ? "#FFFFFF" : "#112D63"
                            font.family: "DejaVu Sans"
                            font.pixelSize: key.special ? 22 : 20
                            font.bold: !key.special
                        }

                        MouseArea {
                            id: touch
                            anchors.fill: parent
                            onClicked: keyboard.press(modelData)
                            // Held backspace keeps deleting.
                            onPressAndHold: if (modelData.k === "backspace") repeat.start()
                            onReleased: repeat.stop()
                            onCanceled: repeat.stop()
                        }

                        Timer {
                            id: repeat
                            interval: 80
                            repeat: true
                            onTriggered: keyboard.backspace()
                        }
                    }
                }
            }
        }
    }
}
