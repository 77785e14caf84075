import QtQuick 2.15
import QtTest 1.15
import KVRTTest 1.0

// The window shell: pages by screen name, header, version, error popup, the
// way into maintenance and the pages of the out-of-order, out-of-service and
// refused-ticket screens.
TestCase {
    id: test
    name: "Shell"
    when: windowShown

    StandInManager {
        id: manager
    }

    property var window: null

    // Finds an item of the window by object name, through the visual tree.
    function find(name, item) {
        if (item === undefined)
            item = window.contentItem.parent
        if (item.objectName === name)
            return item
        for (let i = 0; i < item.children.length; ++i) {
            const found = find(name, item.children[i])
            if (found)
                return found
        }
        return null
    }

    function page(name) {
        return find("page_" + name)
    }

    function visiblePages() {
        const names = []
        for (const entry of window.screens) {
            if (page(entry.name).visible)
                names.push(entry.name)
        }
        return names
    }

    function init() {
        manager.screen = ""
        manager.message = ""
        manager.language = "en_US"
        testSupport.setTransaction(testSupport.emptyTransaction())
        const component = Qt.createComponent("qrc:/qml/main.qml")
        compare(component.status, Component.Ready, component.errorString())
        window = component.createObject(test)
        verify(window !== null)
        tryCompare(window, "active", true, 5000)
    }

    function cleanup() {
        window.destroy()
        window = null
        wait(0)
    }

    function test_startsBusyWithHeaderAndVersion() {
        compare(window.width, 1024)
        compare(window.height, 600)
        compare(window.title, "KVRTTerminal")
        compare(window.currentScreen, "Busy")
        compare(visiblePages(), ["Busy"])
        verify(find("header").visible)
        const version = find("versionText")
        compare(version.text, "v" + Qt.application.version)
        verify(version.visible)
        compare(version.x + version.width, window.width - 10)
    }

    function test_followsManagerScreen_data() {
        return [
            { tag: "InitPage", screen: "InitPage", pages: ["InitPage"], header: true },
            { tag: "OutOfOrder", screen: "OutOfOrder", pages: ["OutOfOrder"], header: true },
            { tag: "OutOfService", screen: "OutOfService", pages: ["OutOfService"], header: true },
            { tag: "Invalid", screen: "Invalid", pages: ["Invalid"], header: true },
            { tag: "ScreenSaver", screen: "ScreenSaver", pages: ["ScreenSaver"], header: false },
            { tag: "Settings", screen: "Settings", pages: ["Settings"], header: false },
            { tag: "Login (no page)", screen: "Login", pages: [], header: true },
            { tag: "unknown name", screen: "NoSuchScreen", pages: [], header: true }
        ]
    }

    function test_followsManagerScreen(data) {
        manager.screen = data.screen
        compare(window.currentScreen, data.screen)
        compare(visiblePages(), data.pages)
        compare(find("header").visible, data.header)
        verify(find("versionText").visible)
    }

    function test_resetInitialScreenShowsGatePage() {
        manager.screen = "OutOfOrder"
        manager.resetInitialScreen()
        compare(window.currentScreen, "EntryGate")
        compare(manager.screen, "OutOfOrder")
        compare(visiblePages(), ["EntryGate"])
        // A later change of the manager's screen replaces the gate page.
        manager.screen = "Busy"
        compare(visiblePages(), ["Busy"])
    }

    function test_errorReportOpensMessagePopup() {
        const popup = findChild(window, "errorPopup")
        verify(!popup.opened)
        manager.reportError("Permission denied")
        tryCompare(popup, "opened", true)
        compare(popup.text, "Permission denied")
        // A tap closes it.
        mouseClick(window.contentItem, 512, 300)
        tryCompare(popup, "visible", false)
    }

    function test_clockHoldOpensMaintenanceTapDoesNot() {
        const clock = find("headerClock")
        mouseClick(clock)
        compare(manager.maintenanceCalls, 0)
        mousePress(clock)
        tryCompare(manager, "maintenanceCalls", 1, 5000)
        mouseRelease(clock)
        compare(manager.maintenanceCalls, 1)
    }

    function test_clockShowsHeaderFormats() {
        const clock = find("headerClock")
        verify(/^\d\d-\d\d-\d{4}$/.test(clock.dateText), clock.dateText)
        verify(/^\d\d:\d\d$/.test(clock.timeText), clock.timeText)
    }

    function test_outOfOrderShowsReasonCode() {
        manager.message = "#0005\nDisconnected from OBC"
        manager.screen = "OutOfOrder"
        const outOfOrder = page("OutOfOrder").item
        compare(outOfOrder.message, "The device is Out Of Order")
        compare(outOfOrder.detail, "#0005\nDisconnected from OBC")
        manager.message = "#0001"
        compare(outOfOrder.detail, "#0001")
        manager.language = "el_GR"
        compare(outOfOrder.message, "Η συσκευή είναι προσωρινά εκτός λειτουργίας")
        compare(page("OutOfService").item.message,
                "Η συσκευή είναι προσωρινά εκτός υπηρεσίας \n Παρακαλώ περιμένετε για βοήθεια")
    }

    function test_invalidShowsRefusalReason() {
        const refused = testSupport.emptyTransaction()
        refused.denyReason = "The ticket has expired"
        refused.denyReasonId = 101
        testSupport.setTransaction(refused)
        manager.screen = "Invalid"
        const invalid = page("Invalid").item
        compare(invalid.message, "Validation failed")
        compare(invalid.detail, "The ticket has expired")
        manager.language = "el_GR"
        compare(invalid.message, "Η επικύρωση απέτυχε")
    }

    function test_screenSaverUsesConfiguredColourAndImage() {
        manager.screen = "ScreenSaver"
        const saver = page("ScreenSaver").item
        verify(Qt.colorEqual(saver.color, "black"))
        manager.screenSaverBg = "navy"
        verify(Qt.colorEqual(saver.color, "navy"))
        const image = findChild(saver, "screenSaverImage")
        compare(String(image.icon), "qrc:/qml/images/Icons/pelmo-logo-top-gr.svg")
        compare(saver.imageUrl("/opt/ovant/saver.png"), "file:///opt/ovant/saver.png")
        compare(saver.imageUrl(":/qml/images/Icons/tools.svg"), "qrc:/qml/images/Icons/tools.svg")
        compare(saver.imageUrl(""), "")
    }

    function test_cursorFollowsManager() {
        const area = find("cursorArea")
        verify(!area.enabled)
        compare(area.width, window.width)
        compare(area.height, window.height)
        manager.showCursor = true
        compare(area.cursorShape, Qt.ArrowCursor)
        manager.showCursor = false
        compare(area.cursorShape, Qt.BlankCursor)
        manager.showCursor = true
    }

    // The cursor's area covers the window but must not keep touches from the
    // popups: the registration page's confirmation is answered in the window.
    function test_pageDialogTakesTouches() {
        manager.screen = "InitPage"
        const initPage = page("InitPage").item
        findChild(initPage, "serialField").text = "K12345678"
        mouseClick(findChild(initPage, "saveButton"))
        const dialog = findChild(initPage, "confirmation")
        tryCompare(dialog, "opened", true)
        const saved = manager.savedDeviceIds.length
        mouseClick(findChild(dialog.contentItem, "popupYes"))
        tryCompare(dialog, "visible", false)
        compare(manager.savedDeviceIds.length, saved + 1)
        compare(manager.savedDeviceIds[saved], "K12345678")
    }
}
