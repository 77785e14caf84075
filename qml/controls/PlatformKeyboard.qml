import QtQuick 2.15
import QtQuick.FreeVirtualKeyboard 1.0

// The platform's on-screen keyboard. Only loaded when its input method is
// installed; KeyboardPanel falls back to OnScreenKeyboard otherwise.
InputPanel {
    anchors.fill: parent
}
