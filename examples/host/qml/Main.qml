import QtQuick 2.15

// The host's main window: it stands for the remote desktop over which the players are laid.
Rectangle {
    id: root
    property string status: "not connected"
    color: "#2b3a4a"

    Grid {
        anchors.fill: parent
        columns: Math.ceil(root.width / 64)
        Repeater {
            model: Math.ceil(root.width / 64) * Math.ceil(root.height / 64)
            Rectangle {
                width: 64
                height: 64
                color: "transparent"
                border.color: "#3b4d60"
            }
        }
    }
    Column {
        anchors { left: parent.left; bottom: parent.bottom; margins: 12 }
        spacing: 4
        Text { text: "h5redir reference host"; color: "white"; font.pixelSize: 20 }
        Text { text: root.status; color: "#c0d0e0"; font.pixelSize: 14 }
    }
}
