import QtQuick 2.15
import H5Host 1.0

// The host's main window: the remote desktop, over which the players are laid. A window smaller
// than the desktop scrolls it with its bars; drags and the wheel belong to the desktop. Where the
// server shows no desktop, the plain background shows.
Rectangle {
    id: root
    readonly property int bar: 12
    // Whether each bar is needed, the other bar's room counted.
    readonly property bool wide: desktop.width > width
        || (desktop.height > height && desktop.width > width - bar)
    readonly property bool tall: desktop.height > height
        || (desktop.width > width && desktop.height > height - bar)
    color: "#2b3a4a"

    Flickable {
        id: scroll
        anchors { fill: parent; rightMargin: root.tall ? root.bar : 0; bottomMargin: root.wide ? root.bar : 0 }
        contentWidth: desktop.width
        contentHeight: desktop.height
        interactive: false
        boundsBehavior: Flickable.StopAtBounds
        clip: true

        DesktopView {
            id: desktop
            objectName: "desktop"
            focus: true
        }
    }

    // A track along one edge with a handle to drag; a press on the track brings the handle there.
    component Bar: Rectangle {
        id: bar
        property bool vertical
        readonly property real ratio: vertical ? scroll.visibleArea.heightRatio : scroll.visibleArea.widthRatio
        readonly property real along: vertical ? scroll.visibleArea.yPosition : scroll.visibleArea.xPosition
        readonly property real length: vertical ? height : width
        color: "#1e2935"

        Rectangle {
            x: bar.vertical ? 2 : bar.along * bar.length
            y: bar.vertical ? bar.along * bar.length : 2
            width: bar.vertical ? bar.width - 4 : bar.ratio * bar.length
            height: bar.vertical ? bar.ratio * bar.length : bar.height - 4
            radius: 4
            color: drag.pressed ? "#8da2b8" : "#62788f"
        }
        MouseArea {
            id: drag
            property real grab // where the handle was taken, as a part of the track
            anchors.fill: parent
            function at(mouse) { return (bar.vertical ? mouse.y : mouse.x) / bar.length }
            function follow(mouse) {
                var share = Math.max(0, Math.min(1 - bar.ratio, at(mouse) - grab))
                // Whole pixels, so that the desktop and the players stay on the same grid.
                if (bar.vertical)
                    scroll.contentY = Math.round(share * scroll.contentHeight)
                else
                    scroll.contentX = Math.round(share * scroll.contentWidth)
            }
            onPressed: {
                var onHandle = at(mouse) >= bar.along && at(mouse) <= bar.along + bar.ratio
                grab = onHandle ? at(mouse) - bar.along : bar.ratio / 2
                follow(mouse)
            }
            onPositionChanged: follow(mouse)
        }
    }
    Bar {
        vertical: true
        visible: root.tall
        anchors { top: parent.top; right: parent.right; bottom: scroll.bottom }
        width: root.bar
    }
    Bar {
        vertical: false
        visible: root.wide
        anchors { left: parent.left; right: scroll.right; bottom: parent.bottom }
        height: root.bar
    }
}
