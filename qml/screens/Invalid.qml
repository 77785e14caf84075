import QtQuick 2.15

// A refused ticket or card: why it was refused, from the last validation.
MessageScreen {
    // The validation summary the manager publishes; absent until the first one.
    readonly property var lastTransaction: typeof transaction !== "undefined" && transaction ? transaction : ({})

    icon: "qrc:/qml/images/Icons/invalid.svg"
    message: manager.dynTr + qsTr("Validation failed")
    detail: lastTransaction.denyReason !== undefined ? String(lastTransaction.denyReason) : ""
}
