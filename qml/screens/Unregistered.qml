import QtQuick 2.15

// The terminal has no serial number the services accept: staff must register it.
MessageScreen {
    icon: "qrc:/qml/images/Icons/warning.svg"
    message: manager.dynTr + qsTr("Unregistered device")
    detail: manager.deviceId
}
