import QtQuick 2.15

// The terminal has been taken out of service by its operator.
MessageScreen {
    icon: "qrc:/qml/images/Icons/tools.svg"
    message: manager.dynTr
             + qsTranslate("GUIManager", "The device is currently Out Of Service \n Please wait for assistance")
}
