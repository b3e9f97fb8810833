#pragma once

#include <QLoggingCategory>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// Collects what Qt's logging says while it lives ("category: text" per message, with the
// type), instead of printing it; the handler it replaced is restored on destruction.
// One at a time, on the thread that logs.
class LogCapture {
public:
    struct Line {
        QtMsgType type;
        QString category;
        QString text;
    };

    LogCapture() : m_previous(qInstallMessageHandler(&LogCapture::handle)) { s_current = this; }
    ~LogCapture() {
        qInstallMessageHandler(m_previous);
        s_current = nullptr;
    }

    // The messages of one category, in order.
    QStringList of(const char* category) const {
        QStringList texts;
        for (const Line& line : m_lines)
            if (line.category == QLatin1StringView(category))
                texts << line.text;
        return texts;
    }
    const QList<Line>& lines() const { return m_lines; }

private:
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& text) {
        if (s_current)
            s_current->m_lines.push_back(
                {type, QString::fromLatin1(context.category ? context.category : ""), text});
    }

    static inline LogCapture* s_current = nullptr;
    QtMessageHandler m_previous;
    QList<Line> m_lines;
};
