import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Controls.Material 2.15
import QtQuick.Templates 2.15 as T
import "../../controls"
import "../ScreenText.js" as ScreenText

// The technician's settings area: its own header with the way back and the power
// menu, the menu of pages and a stack of the open pages. Each time the area is
// shown or left it starts over from the menu with nothing open.
Item {
    id: settings

    readonly property var pages: [
        { title: QT_TR_NOOP("Validator"), hint: QT_TR_NOOP("Validator information and settings"), page: "Validator.qml", icon: "qrc:/qml/images/Icons/ticket.svg" },
        { title: QT_TR_NOOP("Diagnostics"), hint: QT_TR_NOOP("System health and diagnostic"), page: "Diagnostics.qml", icon: "qrc:/qml/images/Icons/diagnostic.svg" },
        { title: QT_TR_NOOP("Region"), hint: QT_TR_NOOP("Date, time and languange settings"), page: "Region.qml", icon: "qrc:/qml/images/Icons/region.svg" },
        { title: QT_TR_NOOP("Audio"), hint: QT_TR_NOOP("Adjust audio volume"), page: "Audio.qml", icon: "qrc:/qml/images/Icons/audio.svg" },
        { title: QT_TR_NOOP("Display"), hint: QT_TR_NOOP("Adjust display brightness and mode"), page: "Display.qml", icon: "qrc:/qml/images/Icons/brightness-2.svg" },
        { title: QT_TR_NOOP("Network"), hint: QT_TR_NOOP("Configure Ethernet, WiFi and Modem"), page: "Network.qml", icon: "qrc:/qml/images/Icons/network.svg" },
        { title: QT_TR_NOOP("Update"), hint: QT_TR_NOOP("Check for software and sytem updates"), page: "Update.qml", icon: "qrc:/qml/images/Icons/update.svg" },
        { title: QT_TR_NOOP("Event Log"), hint: QT_TR_NOOP("Examine system events and alarms"), page: "EventLog.qml", icon: "qrc:/qml/images/Icons/log.svg" }
    ]

    // Made the first time the area is shown: it starts over at every visit anyway.
    FirstShowLoader {
        anchors.fill: parent

        sourceComponent: Component {
            Item {
                function reset() {
                    stack.opening = null
                    stack.pop(null, StackView.Immediate)
                    menu.close()
                    confirmation.close()
                    configPopup.close()
                    waitPopup.close()
                    stack.message.close()
                    keyboard.hide()
                }

                onVisibleChanged: reset()

                // Writes what the area shows to the log.
                Shortcut {
                    sequence: "Ctrl+Shift+D"
                    context: Qt.ApplicationShortcut // also over a modal popup
                    enabled: settings.visible
                    onActivated: console.info(ScreenText.line(stack.depth > 1 ? stack.currentItem.title : "Settings",
                                                              settings, settings.Overlay.overlay))
                }

                Rectangle {
                    anchors.fill: parent
                    color: settings.Material.background
                }

                Rectangle {
                    id: header
                    objectName: "settingsHeader"
                    width: parent.width
                    height: 70
                    color: Qt.darker(settings.Material.background, 1.3)

                    ToolButton {
                        id: back
                        objectName: "settingsBack"
                        width: 60
                        height: 60
                        anchors.verticalCenter: parent.verticalCenter
                        visible: stack.depth > 1
                        focusPolicy: Qt.NoFocus
                        icon.source: "qrc:/qml/images/Icons/chevron-left.svg"
                        icon.color: "transparent"
                        icon.width: 36
                        icon.height: 36
                        onClicked: {
                            keyboard.hide()
                            stack.pop()
                        }
                    }

                    Label {
                        objectName: "settingsTitle"
                        anchors.left: parent.left
                        anchors.leftMargin: 70
                        anchors.verticalCenter: parent.verticalCenter
                        text: manager.dynTr + (stack.depth > 1 && stack.currentItem ? qsTr(stack.currentItem.title || "") : qsTr("Settings"))
                        font.family: "DejaVu Sans"
                        font.pixelSize: 24
                        font.bold: true
                    }

                    ToolButton {
                        objectName: "settingsMenuButton"
                        anchors.right: parent.right
                        anchors.rightMargin: 10
                        anchors.verticalCenter: parent.verticalCenter
                        width: 60
                        height: 60
                        focusPolicy: Qt.NoFocus
                        text: "\u22EE"
                        font.pixelSize: 28
                        onClicked: menu.open()

                        PopupLoader {
                            id: menu
                            anchors.fill: parent
                            popup: "PowerMenu.qml"
                            initial: ({ objectName: "settingsMenuPopup" })
                        }

                        Connections {
                            target: menu.item

                            function onScanChosen() {
                                configPopup.open({ text: manager.dynTr + qsTr("Scan Configuration QR code") })
                            }
                            function onCommandChosen(command) {
                                confirmation.ask(command)
                            }
                        }
                    }
                }

                StackView {
                    id: stack
                    objectName: "settingsStack"

                    // A page of the menu, made in the background a slice at a time and shown
                    // once made: the screen keeps answering while a heavy page (the event
                    // log's, the self-test's) is being made. Made here rather than by the
                    // view, a page is destroyed when it leaves the view; one still being made
                    // when the area is left is dropped.
                    property var opening: null

                    function open(entry) {
                        const component = Qt.createComponent(Qt.resolvedUrl(entry.page), Component.Asynchronous)
                        const incubate = () => {
                            if (opening !== component)
                                return
                            if (component.status !== Component.Ready) {
                                if (component.status === Component.Error)
                                    console.warn("[QML] Page not made : " + component.errorString())
                                opening = null
                                return
                            }
                            const incubator = component.incubateObject(stack, { title: entry.title, visible: false })
                            opening = incubator
                            const show = () => {
                                if (opening !== incubator) {
                                    if (incubator.object)
                                        incubator.object.destroy()
                                    return
                                }
                                opening = null
                                if (incubator.status !== Component.Ready) {
                                    console.warn("[QML] Page not made : " + entry.page)
                                    return
                                }
                                const page = incubator.object
                                page.StackView.removed.connect(() => page.destroy())
                                push(page)
                            }
                            if (incubator.status === Component.Loading)
                                incubator.onStatusChanged = show
                            else
                                show()
                        }
                        opening = component
                        if (component.status === Component.Loading)
                            component.statusChanged.connect(incubate)
                        else
                            incubate()
                    }

                    // Opens the shell's kind of message popup over the settings, for the pages.
                    property alias message: messagePopup
                    function showMessage(text) {
                        messagePopup.open({ text: text })
                    }

                    anchors.top: header.bottom
                    anchors.left: parent.left
                    anchors.right: parent.right
                    anchors.bottom: keyboard.top
                    clip: true

                    initialItem: ListView {
                        id: menuList
                        objectName: "settingsMenu"
                        model: settings.pages
                        interactive: contentHeight > height
                        boundsBehavior: Flickable.StopAtBounds

                        delegate: MenuButton {
                            objectName: "menu_" + modelData.title.replace(" ", "")
                            width: ListView.view.width
                            height: menuList.height / 8
                            text: manager.dynTr + qsTr(modelData.title)
                            hint: manager.dynTr + qsTr(modelData.hint)
                            iconSource: modelData.icon
                            // Only the menu opens pages, and only one at a time.
                            onClicked: if (stack.depth === 1 && !stack.busy && !stack.opening)
                                           stack.open(modelData)
                        }
                    }
                }

                KeyboardPanel {
                    id: keyboard
                    objectName: "keyboard"
                    scope: settings
                    anchors.left: parent.left
                    anchors.right: parent.right
                    height: 250
                    property real reveal: active ? 1 : 0
                    y: settings.height - height * reveal
                    visible: reveal > 0

                    Behavior on reveal {
                        NumberAnimation { duration: 150; easing.type: Easing.InOutQuad }
                    }
                }

                // The menu and the popups are made when first opened: most visits open none.
                PopupLoader {
                    id: messagePopup
                    popup: "../../controls/CustomPopup.qml"
                    initial: ({ objectName: "settingsMessage" })
                }

                // Asks before a restart, reboot or shutdown.
                PopupLoader {
                    id: confirmation
                    popup: "../../controls/CustomPopup.qml"
                    initial: ({ objectName: "settingsConfirmation", isDialog: true })

                    property string command

                    function ask(name) {
                        command = name
                        open({ text: manager.dynTr + qsTr("Are you sure?") })
                    }
                }

                Connections {
                    target: confirmation.item

                    function onButtonYesPressed() {
                        waitPopup.open({ text: manager.dynTr + qsTr("Please Wait") })
                        if (confirmation.command === "restart")
                            manager.exitRequest()
                        else if (confirmation.command === "reboot")
                            manager.rebootRequest()
                        else if (confirmation.command === "shutdown")
                            manager.shutdownRequest()
                    }
                }

                // Until the manager leaves the settings for its busy screen.
                PopupLoader {
                    id: waitPopup
                    popup: "../../controls/CustomPopup.qml"
                    initial: ({ objectName: "settingsWait", closePolicy: T.Popup.NoAutoClose })
                }

                // Open while a configuration barcode may be scanned: only then is the scanner on.
                PopupLoader {
                    id: configPopup
                    popup: "../../controls/CustomPopup.qml"
                    initial: ({ objectName: "configPopup" })
                }

                Connections {
                    target: configPopup.item

                    function onOpened() {
                        maintenance.begin("configScan")
                    }
                    function onClosed() {
                        maintenance.end("configScan")
                    }
                }

                Connections {
                    target: manager
                    ignoreUnknownSignals: true

                    function onBarcodeConfigurationApplied(configList) {
                        configPopup.open({ text: manager.dynTr + qsTr("CONFIGURATION APPLIED") + "\n" + configList.join("\n") })
                    }
                }
            }
        }
    }
}
