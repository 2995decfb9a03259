import QtQuick 2.15

// A stand-in page: colour bars, a moving marker and the page address, so that the player's
// position and its mask are plain to see. It "loads" a moment after it is shown, like a page.
Rectangle {
    id: root
    readonly property string title: "Test pattern - " + page.url
    color: "#101010"

    Row {
        width: parent.width
        height: parent.height * 0.7
        Repeater {
            model: ["#c0c0c0", "#c0c000", "#00c0c0", "#00c000", "#c000c0", "#c00000", "#0000c0"]
            Rectangle {
                width: root.width / 7
                height: parent.height
                color: modelData
            }
        }
    }
    // Moved by a timer rather than an animation, so it moves in offscreen pictures too.
    Rectangle {
        property int step: 0
        width: root.height * 0.12
        height: width
        radius: width / 2
        y: root.height * 0.72
        x: (step % 50) / 49 * (root.width - width)
        color: "white"
        Timer {
            interval: 40
            running: true
            repeat: true
            onTriggered: parent.step++
        }
    }
    Text {
        anchors { left: parent.left; right: parent.right; bottom: parent.bottom; margins: 4 }
        text: page.url
        color: "white"
        font.pixelSize: Math.max(10, root.height / 20)
        elide: Text.ElideMiddle
    }
    MouseArea {
        anchors.fill: parent
        onClicked: page.reportActive()
        onDoubleClicked: page.reportFullScreen(true)
    }
    Timer {
        interval: 150
        running: true
        onTriggered: {
            page.reportLoad(true)
            page.reportTitle(root.title)
        }
    }
}
