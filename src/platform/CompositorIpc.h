#pragma once

#include <QByteArray>
#include <QPoint>
#include <QString>
#include <QtGlobal>

class QWindow;

// sway places the windows of X11 clients where it likes (a floating one centred, on one
// workspace, focused) and answers their move requests by centring them again. What it does
// take is a command over its IPC socket (SWAYSOCK), in the protocol i3 defined: "i3-ipc",
// the payload's length and the message type (native byte order), then the payload.

namespace ipc {

inline constexpr quint32 runCommand = 0;

// One message as the compositor reads it.
QByteArray frame(quint32 type, const QByteArray& payload);

enum class Read { Incomplete, Message, Invalid };

// Takes one message off the front of `buffer` into `type` and `payload` when it is whole;
// Invalid when the buffer does not start with a message.
Read takeFrame(QByteArray& buffer, quint32& type, QByteArray& payload);

// The first failure in a command reply (one result per command), empty when every command
// succeeded; a reply that is not a list of results is a failure too.
QString firstFailure(const QByteArray& reply);

// The rules that make the card of X11 window `windowId` of process `pid`, once mapped,
// float above the others on every workspace without border, at `topLeft` (the compositor's
// layout coordinates), without ever taking the focus. Set before the window is mapped:
// the compositor decides about focus when it maps it.
QString cardRules(quint32 windowId, qint64 pid, QPoint topLeft);

// Moves that card to `topLeft`.
QString moveCommand(quint32 windowId, qint64 pid, QPoint topLeft);

} // namespace ipc

// Hands the card's placement to the compositor when the program runs under sway (through
// XWayland); true when the compositor took it. Call after the native window exists and
// before it is shown.
bool ipcTakeCard(QWindow* window, QPoint topLeft);

// Moves a card that the compositor took; false for any other window (move it as usual) or
// when the compositor no longer answers for it.
bool ipcMoveCard(QWindow* window, QPoint topLeft);
