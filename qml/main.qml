import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Controls.Material 2.15
import "controls"

// The terminal's window: the header, one page per screen name of the manager,
// the error popup and the version.
ApplicationWindow {
    id: window

    // Name of the visible page. Follows manager.screen, except that the manager's
    // resetInitialScreen brings up the gate page without changing manager.screen.
    property string currentScreen: "Busy"

    // Screen names and their pages. Every page is made once (see allPages) and kept, so
    // that a hidden page keeps its state; a name not listed shows no page.
    readonly property var screens: [
        { name: "InitPage", source: "qrc:/qml/screens/InitPage.qml" },
        { name: "Busy", source: "qrc:/qml/screens/Busy.qml" },
        { name: "EntryGate", source: "qrc:/qml/screens/EntryGate.qml" },
        { name: "ExitGate", source: "qrc:/qml/screens/ExitGate.qml" },
        { name: "ScreenSaver", source: "qrc:/qml/screens/ScreenSaver.qml" },
        { name: "Settings", source: "qrc:/qml/screens/settings/Main.qml" },
        { name: "OutOfOrder", source: "qrc:/qml/screens/OutOfOrder.qml" },
        { name: "OutOfService", source: "qrc:/qml/screens/OutOfService.qml" },
        { name: "Invalid", source: "qrc:/qml/screens/Invalid.qml" },
        { name: "Login", source: "qrc:/qml/screens/Login.qml" },
        { name: "Unregistered", source: "qrc:/qml/screens/Unregistered.qml" }
    ]

    x: 0
    y: -1
    width: 1024
    height: 600
    visible: true
    title: "KVRTTerminal"
    flags: Qt.Window
    color: "#FFFFFF"
    font.family: "DejaVu Sans"

    background: Rectangle {
        color: "#FFFFFF"
    }

    // Loads the font where it is not there yet. The program has installed it before the
    // first frame: loading it again would keep two more copies of it (1.7 MB).
    FontLoader {
        objectName: "fontLoader"
        source: window.allPages && Qt.fontFamilies().indexOf("DejaVu Sans") < 0
                ? "qrc:/qml/fonts/DejaVuSans.ttf" : ""
    }

    header: Header {
        objectName: "header"
        height: 120
        visible: window.currentScreen !== "Settings" && window.currentScreen !== "ScreenSaver"
        onMagicButtonPressed: manager.setMaintenanceScreen()
        decorated: window.allPages
    }

    // For start-up measurements: each page, once made.
    signal pageLoaded(string name)

    // Only the page on screen at start is made before the first frame. The gate page, the
    // screen of a terminal in service, is made right after it in the background, a slice at
    // a time, so that the broker's first messages do not wait for it. The other pages and
    // the header's logo and clock wait for the first frame of the screen the terminal starts
    // working on, which they would otherwise hold back (or, should that frame not come, for
    // a short while). A page is kept once made, so no page is ever made twice; the page shown
    // is made at once.
    property bool gatePage: false
    property bool gatePageMade: false
    property bool allPages: false
    property int pagesFallbackMsec: 500

    function makeAllPages() {
        allPages = true
    }

    function showScreen(name) {
        currentScreen = name
    }

    // Emitted on this thread before each frame is rendered (frameSwapped may come from
    // the render thread): a binding it sets takes effect after that frame.
    onAfterAnimating: {
        gatePage = true
        if (!allPages && gatePageMade && currentScreen !== "Busy")
            Qt.callLater(makeAllPages)
    }

    // Should no frame come, or no screen but the start one. Once the gate page is under
    // way, the others wait for it: started alongside, they would be made first and the gate
    // page last.
    Timer {
        interval: window.pagesFallbackMsec
        running: !window.allPages && (window.gatePageMade || !window.gatePage)
        onTriggered: window.makeAllPages()
    }

    Repeater {
        id: pages
        model: window.screens

        Loader {
            objectName: "page_" + modelData.name
            anchors.fill: parent
            // A page still being made when it is shown is finished there and then.
            asynchronous: window.currentScreen !== modelData.name
            readonly property bool wanted: window.allPages || window.currentScreen === modelData.name
                                           || (window.gatePage && modelData.name === "EntryGate")
            // Once made, kept: a hidden page keeps its state.
            active: false
            onWantedChanged: if (wanted) active = true
            Component.onCompleted: if (wanted) active = true
            source: modelData.source
            visible: window.currentScreen === modelData.name
            onLoaded: window.pageLoaded(modelData.name)
            // A gate page that cannot be made (its error is in the log) holds nothing back.
            onStatusChanged: {
                if (modelData.name === "EntryGate" && (status === Loader.Ready || status === Loader.Error))
                    window.gatePageMade = true
            }
        }
    }

    Connections {
        target: manager

        function onScreenChanged() {
            console.info("[QML] Screen changed : " + manager.screen)
            window.showScreen(manager.screen)
        }

        function onErrorOccured(error) {
            console.info("[QML] Error occured : " + error)
            errorPopup.open({ text: error })
        }

        function onLanguageChanged() {
            window.locale = Qt.locale(manager.language)
        }

        function onResetInitialScreen() {
            window.showScreen("EntryGate")
        }
    }

    // Made when the first error comes. Named by its file, its type is not even read
    // before the first frame.
    PopupLoader {
        id: errorPopup

        popup: "controls/CustomPopup.qml"
        initial: ({ objectName: "errorPopup" })
    }

    Text {
        objectName: "versionText"
        anchors.right: parent.right
        anchors.bottom: parent.bottom
        anchors.margins: 10
        z: 1
        text: "v" + Qt.application.version
        font.family: "DejaVu Sans"
        font.pixelSize: 12
        color: Material.color(Material.Grey, Material.Shade700)
        opacity: 0.5
    }

    // Only sets the cursor for the whole window (header and pages); takes no
    // input. It stays under the popups' layer, which it would otherwise block.
    MouseArea {
        objectName: "cursorArea"
        parent: window.contentItem.parent
        anchors.fill: parent
        z: window.overlay.z - 1
        enabled: false
        cursorShape: manager.showCursor ? Qt.ArrowCursor : Qt.BlankCursor
    }
}
