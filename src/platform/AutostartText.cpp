#include "AutostartText.h"

namespace autostart {

namespace {

// Exec keys quote arguments with double quotes and escape ", `, $ and \ inside them.
QString quotedExec(const QString& program) {
    QString out;
    for (const QChar c : program) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\') {
            out += u'\\';
        }
        out += c;
    }
    return u'"' + out + u'"';
}

} // namespace

QString desktopEntryText(const QString& program) {
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=Quillfern\n"
                          "Comment=Network throughput widget\n"
                          "Exec=%1\n"
                          "Icon=quillfern\n"
                          "Terminal=false\n"
                          "X-GNOME-Autostart-enabled=true\n")
        .arg(quotedExec(program));
}

QString launchAgentText(const QString& program) {
    return QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<plist version=\"1.0\"><dict>\n"
                          "<key>Label</key><string>org.quillfern</string>\n"
                          "<key>ProgramArguments</key><array><string>%1</string></array>\n"
                          "<key>RunAtLoad</key><true/>\n"
                          "</dict></plist>\n")
        .arg(program.toHtmlEscaped());
}

} // namespace autostart
