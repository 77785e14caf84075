import QtQuick 2.15
import QtQuick.Controls 2.15

// A scrolling sub-page of the settings: a column of groups, 20 pixels from the
// edges. `title` is what the settings header shows while the page is on top.
Flickable {
    id: page

    property string title
    default property alias content: column.data

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
