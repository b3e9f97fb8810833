#pragma once

#include <QByteArray>
#include <QString>
#include <functional>

// Which display the widget can use, decided before Qt would abort for want of one.

struct DisplaySetting {
    QByteArray display;        // DISPLAY, or -display
    QByteArray waylandDisplay; // WAYLAND_DISPLAY
    QByteArray platform;       // QT_QPA_PLATFORM, or -platform: the user's choice, or empty
};

// Questions answered by the system, asked only when the answer matters.
struct DisplayProbes {
    std::function<bool()> x11Answers;
    std::function<bool()> waylandAnswers;
    std::function<bool()> waylandPluginPresent;
};

struct DisplayChoice {
    QByteArray platform; // the platform plugin to force, or empty to leave Qt's choice alone
    QString problem;     // not empty: no usable display, and this one line says why
};

// With both an X server and a Wayland compositor, the widget goes through X (XWayland):
// only there may a client place its own windows, so only there is its position kept. A
// platform the user chose is kept; the display it needs must answer.
DisplayChoice dispChoose(const DisplaySetting& setting, const DisplayProbes& probes);

// The same for this session: the environment, with Qt's -platform and -display when given,
// and the display servers asked whether they answer.
DisplayChoice dispChooseForSession(const QByteArray& platform, const QByteArray& display);
