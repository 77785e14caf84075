import QtQuick 2.15

// Holds a popup that is made from its file the first time it is opened: a popup seldom
// shown costs neither start-up time nor memory until then, and its type is not even
// read before. `item` is the popup, once made; its signals are best taken with a
// Connections on it.
Loader {
    // The popup's file, and the properties it is made with (object name, kind).
    property url popup
    property var initial: ({})

    // Opens the popup with these of its properties set.
    function open(properties) {
        if (!item)
            setSource(popup, initial)
        for (const name in properties)
            item[name] = properties[name]
        item.open()
    }

    function close() {
        if (item)
            item.close()
    }
}
