#ifndef H5COMMANDS_H
#define H5COMMANDS_H

// Command numbers of the channel protocol ("commandId" of a JSON message, first header field of a
// proxy data frame). "In" commands come from the server, "out" commands go to it.
enum H5Command : int {
    CmdCreatePlayer = 2, // in
    CmdCreateResult = 3, // out
    CmdSetTitle = 4, // in
    CmdTitleChanged = 5, // out
    CmdRequestActive = 7, // out
    CmdSetVisible = 8, // in
    CmdRequestDownload = 9, // out
    CmdRequestFullScreen = 11, // out
    CmdNewUrl = 13, // out
    CmdNewWindowUrl = 15, // out
    CmdUrlChanged = 17, // out
    CmdLoadEnd = 19, // out
    CmdRedirectError = 21, // out
    CmdSetPosition = 22, // in
    CmdClipRegion = 24, // in
    CmdDestroyPlayer = 26, // in
    CmdDestroyAllPlayers = 28, // in
    CmdProxyPolicy = 30, // out
    CmdProxyConnect = 32, // out
    CmdProxyDataOut = 34, // out, frame
    CmdProxyDataIn = 35, // in, frame
    CmdProxyDisconnect = 36, // out
    CmdRequestTip = 37, // out
};

// Every outbound message travels with this channel message type.
constexpr uint H5ChannelMessageType = 113;

// Proxy data frame header: command number, proxy id, data length, each 32-bit little-endian.
constexpr int H5FrameHeaderSize = 12;

#endif // H5COMMANDS_H
