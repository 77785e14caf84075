import QtQuick 2.15

// Makes its content the first time it is shown, then keeps it. For a page that starts
// over at every visit: made at start with the other pages, its content would only take
// memory until the technician comes.
Loader {
    active: false

    onVisibleChanged: if (visible) active = true
    Component.onCompleted: if (visible) active = true
}
