import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import QtQuick.Controls.Material 2.15
import "../../controls"
import "../../controls/Colors.js" as Colors

// The device self-test: the automatic checks run while the page is open, the
// manual ones are asked of the technician, and FINISH saves the report.
SettingsPage {
    id: page

    readonly property var diagnostics: manager.diagnostics ? manager.diagnostics : null

    // Title and property of each automatic check, in report order.
    readonly property var selfTests: [
        ["RTC", "rtc"], ["Ethernet", "ethernet"], ["USB Hub", "usbHub"], ["USB Host", "usbHost"],
        ["FTDI", "ftdi"], ["mPCIe #1", "mPCIe1"], ["Touch", "touch"], ["SD Card", "sdCard"],
        ["Ignition", "ignition"], ["Temperature", "temperature"], ["System Voltage", "voltage"],
        ["RFID (USB)", "rfidUsb"], ["RFID (Service)", "rfidService"], ["Barcode (USB)", "barcodeUsb"],
        ["Barcode (Service)", "barcodeService"], ["SAM", "sam"], ["Board", "boardService"]
    ]

    function result(name) {
        return diagnostics ? diagnostics[name] : ""
    }

    // A yes/no question about a manual test; the answer is stored as its result.
    function ask(text, resultName) {
        question.prompt = text
        question.resultName = resultName
        question.open()
    }

    // Every test goes through the maintenance actions, which want a session and end
    // what is left running when it ends.
    Component.onCompleted: maintenance.begin("diagnostics")
    Component.onDestruction: maintenance.end("diagnostics")

    SettingsGroup {
        title: manager.dynTr + qsTr("Self Tests")

        Repeater {
            model: page.selfTests

            SettingsRow {
                label: modelData[0]
                value: page.result(modelData[1])
                valueColor: Colors.result(value)
            }
        }
    }

    GridLayout {
        width: parent.width
        columns: 3
        columnSpacing: 16
        rowSpacing: 16

        Repeater {
            model: [
                { name: "Buzzer", result: "buzzer" }, { name: "LEDs", result: "leds" },
                { name: "RFID", result: "cardScan" }, { name: "Barcode", result: "barcodeScan" },
                { name: "Speaker", result: "speaker" }, { name: "Sensor", result: "lightSensor" },
                { name: "RGB", result: "rgbTest" }, { name: "FINISH", result: "" }
            ]

            CustomButton {
                readonly property string outcome: modelData.result ? page.result(modelData.result) : ""
                readonly property bool highlight: modelData.name === "FINISH"
                                                  || (modelData.name === "RFID" && validatorManager.rfid
                                                      && validatorManager.rfid.enabled)

                objectName: "test_" + modelData.name
                Layout.fillWidth: true
                Layout.preferredHeight: 64
                text: modelData.name
                color: highlight ? "#00ADD7" : outcome === "" ? "#555555" : Colors.result(outcome)
                onClicked: page.runTest(modelData.name)
            }
        }
    }

    function runTest(name) {
        switch (name) {
        case "Buzzer":
            maintenance.begin("buzzer")
            ask(qsTr("Can you hear the buzzer?"), "buzzer")
            break
        case "LEDs":
            if (maintenance.begin("leds"))
                question.test = "leds"
            ask(qsTr("Can you see the LEDs flashing?"), "leds")
            break
        case "RFID":
            rfidPopup.open()
            break
        case "Barcode":
            barcodePopup.open()
            break
        case "Speaker":
            maintenance.begin("speaker")
            ask(qsTr("Can you hear the internal speaker?"), "speaker")
            break
        case "Sensor":
            if (maintenance.begin("sensor"))
                question.test = "sensor"
            question.sensor = true
            ask(qsTr("Is LCD brightness adjusting?"), "lightSensor")
            break
        case "RGB":
            rgb.step = 0
            rgb.open()
            break
        case "FINISH":
            maintenance.saveReport()
            break
        }
    }

    CustomPopup {
        id: question
        objectName: "diagnosticsQuestion"

        property string prompt
        property string resultName
        // The sensor test shows what the board reports while the question is open.
        property bool sensor: false
        // The board test that lasts while the question is open.
        property string test

        isDialog: true
        windowHeight: 220
        onButtonYesPressed: if (page.diagnostics) page.diagnostics[resultName] = "OK"
        onButtonNoPressed: if (page.diagnostics) page.diagnostics[resultName] = "ERROR"
        text: prompt + (!sensor ? "" : "\n\n" + qsTr("Brightness") + " : " + board.displayBrightness + " %\n"
                                         + qsTr("Light sensor") + " : " + board.ambientLightSensor + " %")
        // The board test of the question ends with it; one left running when the page
        // goes ends with the self-test (stop()).
        onClosed: {
            if (test)
                maintenance.end(test)
            test = ""
            sensor = false
        }
    }

    CustomPopup {
        id: rfidPopup
        objectName: "rfidPopup"
        text: qsTr("Tap a card")
        onOpened: {
            text = qsTr("Tap a card")
            maintenance.begin("rfid")
        }
        onClosed: maintenance.end("rfid")

        Connections {
            target: rfidPopup.opened ? validatorManager : null

            function onCardDetected(uid, type) {
                rfidPopup.text = "CARD DETECTED\n%1\n%2".arg(uid).arg(type)
                if (page.diagnostics)
                    page.diagnostics.cardScan = "OK"
            }
            function onCardRemoved() {
                rfidPopup.text = qsTr("Tap a card")
            }
        }
    }

    CustomPopup {
        id: barcodePopup
        objectName: "barcodePopup"
        text: qsTr("Scan a barcode")
        onOpened: maintenance.begin("barcode")
        onClosed: maintenance.end("barcode")

        Connections {
            target: barcodePopup.opened ? validatorManager : null

            function onTicketValidated() {
                if (page.diagnostics)
                    page.diagnostics.barcodeScan = "OK"
                barcodePopup.close()
            }
        }
    }

    // Full screen in one colour; each tap shows the next, the last one asks.
    Popup {
        id: rgb
        objectName: "rgbPopup"

        property int step: 0
        readonly property var colors: ["#FF0000", "#00FF00", "#0000FF"]

        parent: Overlay.overlay
        x: 0
        y: 0
        width: parent ? parent.width : 0
        height: parent ? parent.height : 0
        modal: true
        padding: 0
        closePolicy: Popup.NoAutoClose
        background: Rectangle { color: rgb.colors[Math.min(rgb.step, 2)] }

        MouseArea {
            objectName: "rgbArea"
            anchors.fill: parent
            onClicked: {
                if (rgb.step < 2) {
                    rgb.step += 1
                    return
                }
                rgb.close()
                page.ask(qsTr("Was the RGB test successful?"), "rgbTest")
            }
        }
    }

    CustomPopup {
        id: reportPopup
        objectName: "reportPopup"

        windowWidth: 440
        imageSize: Qt.size(220, 220)
        windowHeight: imageSource == "" ? 200 : 340
        onClosed: page.StackView.view.pop()
    }

    Connections {
        target: page.diagnostics
        ignoreUnknownSignals: true

        function onSaveReportFinished(result, message) {
            reportPopup.text = message
            reportPopup.imageSource = result ? page.diagnostics.reportQrImage : ""
            reportPopup.open()
        }
    }
}
