#include "CompositorIpc.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstring>

namespace {

constexpr char magic[] = "i3-ipc";
constexpr qsizetype magicSize = sizeof magic - 1;
constexpr qsizetype headerSize = magicSize + 2 * sizeof(quint32);
// Far above any reply to the few commands sent; a length beyond it is a broken stream.
constexpr quint32 largestPayload = 16 * 1024 * 1024;

// Both criteria: an X11 window id alone could later belong to another client's window.
QString criteria(quint32 windowId, qint64 pid) {
    return QStringLiteral("[id=%1 pid=%2]").arg(windowId).arg(pid);
}

} // namespace

namespace ipc {

QByteArray frame(quint32 type, const QByteArray& payload) {
    QByteArray out(magic, magicSize);
    const auto length = static_cast<quint32>(payload.size());
    out.append(reinterpret_cast<const char*>(&length), sizeof length);
    out.append(reinterpret_cast<const char*>(&type), sizeof type);
    return out + payload;
}

Read takeFrame(QByteArray& buffer, quint32& type, QByteArray& payload) {
    if (!QByteArray(magic, magicSize).startsWith(buffer.left(magicSize))) {
        return Read::Invalid;
    }
    if (buffer.size() < headerSize) {
        return Read::Incomplete;
    }
    quint32 length = 0;
    std::memcpy(&length, buffer.constData() + magicSize, sizeof length);
    if (length > largestPayload) {
        return Read::Invalid;
    }
    if (buffer.size() < headerSize + static_cast<qsizetype>(length)) {
        return Read::Incomplete;
    }
    std::memcpy(&type, buffer.constData() + magicSize + sizeof length, sizeof type);
    payload = buffer.mid(headerSize, length);
    buffer.remove(0, headerSize + length);
    return Read::Message;
}

QString firstFailure(const QByteArray& reply) {
    const QJsonDocument doc = QJsonDocument::fromJson(reply);
    if (!doc.isArray() || doc.array().isEmpty()) {
        return QStringLiteral("unreadable reply: ") + QString::fromUtf8(reply.left(200));
    }
    for (const QJsonValue& result : doc.array()) {
        if (!result.toObject().value(QLatin1String("success")).toBool()) {
            const QString error = result.toObject().value(QLatin1String("error")).toString();
            return error.isEmpty() ? QStringLiteral("command refused") : error;
        }
    }
    return {};
}

QString cardRules(quint32 windowId, qint64 pid, QPoint topLeft) {
    const QString which = criteria(windowId, pid);
    // for_window runs its command list when the window maps, before anything is drawn; the
    // list is quoted so that its commas are not taken as the end of for_window itself.
    return QStringLiteral("no_focus %1; for_window %1 \"floating enable, sticky enable, "
                          "border none, move absolute position %2 %3\"")
        .arg(which)
        .arg(topLeft.x())
        .arg(topLeft.y());
}

QString moveCommand(quint32 windowId, qint64 pid, QPoint topLeft) {
    return QStringLiteral("%1 move absolute position %2 %3")
        .arg(criteria(windowId, pid))
        .arg(topLeft.x())
        .arg(topLeft.y());
}

} // namespace ipc
