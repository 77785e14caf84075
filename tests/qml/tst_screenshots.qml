import QtQuick 2.15
import QtTest 1.15
import KVRTTest 1.0

// Renders every operating page of the window to PNG files for a visual check,
// when KVRT_SCREENSHOT_DIR names a directory; skipped otherwise.
TestCase {
    id: test
    name: "Screenshots"
    when: windowShown

    StandInManager {
        id: manager
    }

    property var window: null

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

    function shoot(name) {
        wait(300) // let animations settle: the pictures are for people
        let saved = null
        verify(window.contentItem.parent.grabToImage(function(result) {
            saved = result.saveToFile(testSupport.screenshotDir + "/" + name + ".png")
        }))
        tryVerify(function() { return saved !== null }, 5000)
        verify(saved, name)
    }

    function initTestCase() {
        if (testSupport.screenshotDir === "")
            skip("KVRT_SCREENSHOT_DIR not set")
    }

    function test_pages() {
        manager.message = "Initializing"
        const component = Qt.createComponent("qrc:/qml/main.qml")
        compare(component.status, Component.Ready, component.errorString())
        window = component.createObject(test)
        tryCompare(window, "active", true, 5000)
        shoot("01-busy")

        manager.screen = "InitPage"
        shoot("02-initpage")
        const page = find("page_InitPage").item
        const field = findChild(page, "serialField")
        mouseClick(field)
        field.text = "K1234"
        shoot("03-initpage-keyboard")
        field.text = "K12345678"
        mouseClick(findChild(page, "saveButton"))
        shoot("04-initpage-confirm")
        const confirmation = findChild(page, "confirmation")
        const no = findChild(confirmation.contentItem, "popupNo")
        mouseClick(no)
        tryCompare(confirmation, "visible", false)

        manager.isEntryGate = true
        manager.resetInitialScreen()
        shoot("05-entrygate")
        manager.processStarted()
        manager.message = "Issuing card"
        shoot("06-entrygate-busy")
        manager.processFinished()
        shoot("07-entrygate-collect")
        manager.resetInitialScreen()
        manager.processStarted()
        manager.errorOccured = true
        manager.errorMessageScreen = "There are no cards available \n Please wait for assistance"
        manager.processFinished()
        shoot("08-entrygate-error")
        manager.resetInitialScreen()
        manager.errorOccured = false

        manager.isEntryGate = false
        manager.language = "el_GR"
        shoot("09-exitgate-greek")
        manager.language = "en_US"
        shoot("10-exitgate")

        manager.message = "#0005\nDisconnected from OBC"
        manager.screen = "OutOfOrder"
        shoot("11-outoforder")
        manager.screen = "OutOfService"
        shoot("12-outofservice")

        const refused = testSupport.emptyTransaction()
        refused.denyReason = "The ticket has already been validated"
        testSupport.setTransaction(refused)
        manager.screen = "Invalid"
        shoot("13-invalid")
        manager.language = "el_GR"
        const refusedGreek = testSupport.emptyTransaction()
        refusedGreek.denyReason = "Το εισιτήριο έχει ήδη επικυρωθεί"
        testSupport.setTransaction(refusedGreek)
        shoot("14-invalid-greek")
        manager.language = "en_US"

        manager.screen = "Login"
        shoot("15-unknown-screen")
        manager.reportError("Permission denied")
        shoot("16-error-popup")
        mouseClick(window.contentItem, 500, 300)

        manager.screen = "ScreenSaver"
        shoot("17-screensaver")

        window.destroy()
    }
}
