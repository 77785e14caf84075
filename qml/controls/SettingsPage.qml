import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Window 2.15

// A scrolling sub-page of the settings: a column of groups, 20 pixels from the
// edges. `title` is what the settings header shows while the page is on top.
Flickable {
    id: page

    property string title
    default property alias content: column.data

    // Scrolls the focused field into view, e.g. above the on-screen keyboard.
    function reveal() {
        const item = Window.activeFocusItem
        let inside = false
        for (let p = item; p && !inside; p = p.parent)
            inside = p === column
        if (!inside)
            return
        const top = item.mapToItem(column, 0, 0).y + column.y - 10
        const bottom = top + item.height + 20
        if (bottom > contentY + height)
            contentY = Math.min(bottom - height, Math.max(0, contentHeight - height))
        else if (top < contentY)
            contentY = Math.max(0, top)
    }

    onHeightChanged: reveal()
    Window.onActiveFocusItemChanged: reveal()

    contentWidth: width
    contentHeight: column.implicitHeight + 40
    boundsBehavior: Flickable.StopAtBounds
    clip: true
    ScrollBar.vertical: ScrollBar { }

    Column {
        id: column
        x: 20
        y: 20
        width: page.width - 40
        spacing: 20
    }
}
