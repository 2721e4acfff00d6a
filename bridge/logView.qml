import QtQuick 2.14
import QtQuick.Controls 2.14
import QtQuick.Layouts 1.12

ApplicationWindow {
    id: logWindow
    width: 1000
    height: 600
    color: "white"
    visible: false

    property bool logEnabled: true
    property string component_type: ""
    property string component_id: ""

    function myQmlFunction(msg) {
        if (logEnabled) {
            var stamp = Qt.formatDateTime(new Date(), "yyyy/MM/dd hh:mm:ss.zzz");
            logText.text += "[" + stamp + "] " + msg + "\n";
        }
        return "";
    }

    function setIdAndType(id, type) {
        component_id = id;
        component_type = type;
        return "";
    }

    header: ToolBar {
        height: 50
        RowLayout {
            height: 30
            anchors.margins: 4
            anchors.left: parent.left
            anchors.verticalCenter: parent.verticalCenter
            spacing: 4
            RowLayout {
                spacing: 10
                Switch {
                    objectName: "logSwitch"
                    Layout.preferredWidth: 100
                    checked: logWindow.logEnabled
                    onToggled: logWindow.logEnabled = checked
                }
                Label {
                    text: "Activate"
                    Layout.preferredWidth: 100
                }
                Button {
                    objectName: "clearButton"
                    text: "Clear log"
                    Layout.preferredWidth: 200
                    onClicked: logText.text = ""
                }
            }
        }
    }

    Flickable {
        anchors.fill: parent
        flickableDirection: Flickable.VerticalFlick
        clip: true
        ScrollBar.vertical: ScrollBar {}

        TextArea.flickable: TextArea {
            id: logText
            objectName: "logText"
            text: ""
            color: "black"
            wrapMode: TextArea.Wrap
            selectByMouse: true
            readOnly: true
            focus: true
        }
    }
}
