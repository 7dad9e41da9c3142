import QtQuick 2.9
import QtQuick.Window 2.2

Window {
    id: window
    visible: true
    width: 600
    height: 500
    title: qsTr(Qt.application.name)
}
