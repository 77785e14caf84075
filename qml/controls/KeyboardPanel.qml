import QtQuick 2.15
import QtQuick.Window 2.15

// The on-screen keyboard of a page. It uses the platform's keyboard when its
// input method is installed and otherwise the built-in OnScreenKeyboard, which
// types into the focused text field inside `scope`. `active` tells the page
// whether the keyboard is up, so that it can slide the panel in.
Item {
    id: panel

    // Text fields inside this item bring up the built-in keyboard.
    property Item scope: parent

    property bool platform: false
    readonly property bool active: platform ? Qt.inputMethod.visible
                                            : (loader.item !== null && loader.item.shown)

    function hide() {
        Qt.inputMethod.hide()
        if (!platform && loader.item)
            loader.item.dismiss()
    }

    // The built-in keyboard is made the first time a text field inside `scope` takes the
    // focus: most pages never need it, and none needs it for its first frame.
    function wanted(item) {
        if (item === null || typeof item.insert !== "function")
            return false
        for (let p = item; p !== null; p = p.parent) {
            if (p === scope)
                return true
        }
        return false
    }
    readonly property Item focusItem: Window.activeFocusItem
    onFocusItemChanged: {
        if (!loader.active && wanted(focusItem))
            loader.active = true
    }

    implicitHeight: 250

    Loader {
        id: loader
        anchors.fill: parent
    }

    Binding {
        target: loader.item
        property: "scope"
        value: panel.scope
        when: !panel.platform && loader.item !== null
    }

    Component.onCompleted: {
        const platformKeyboard = Qt.createComponent("PlatformKeyboard.qml")
        if (platformKeyboard.status === Component.Ready) {
            platform = true
            loader.sourceComponent = platformKeyboard
        } else {
            console.info("[QML] Platform keyboard not available, using the built-in keyboard.")
            loader.active = wanted(focusItem)
            loader.source = "OnScreenKeyboard.qml"
        }
    }
}
