import QtQuick 2.15

// The terminal cannot serve passengers right now; the detail line carries the
// reason code the manager reports (e.g. "#0005"), for the staff.
MessageScreen {
    icon: "qrc:/qml/images/Icons/warning.svg"
    message: manager.dynTr + qsTranslate("GUIManager", "The device is Out Of Order")
    detail: manager.message
}
