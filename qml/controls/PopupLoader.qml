import QtQuick 2.15

// Holds a popup that is made the first time it is opened: a popup seldom shown
// costs neither start-up time nor memory until then. `item` is the popup, once made.
Loader {
    active: false

    // Opens the popup with these of its properties set.
    function open(properties) {
        active = true
        for (const name in properties)
            item[name] = properties[name]
        item.open()
    }

    function close() {
        if (item)
            item.close()
    }
}
