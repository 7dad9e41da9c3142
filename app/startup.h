#pragma once

#include <QUrl>

#include <functional>

class QQmlApplicationEngine;

namespace nvx {

class VirtualBench;

// What a caller may look at once the window is up (the GUI tests drive the
// real window through it).
struct LoadedToolkit
{
    QQmlApplicationEngine &engine;
    VirtualBench *virtualBench; // null without --virtual-instrument
};

struct StartupOptions
{
    // The window to load; tests point it elsewhere to drive the failure path.
    QUrl windowUrl = QUrl(QStringLiteral("qrc:/main.qml"));
    // Called once the window has loaded, before the event loop runs.
    std::function<void(const LoadedToolkit &)> onWindowLoaded;
};

// The program's composition root: identity, log handler, default translator,
// command line, renderer, QML types, the objects the window reaches by name,
// the window's language, the window, the event loop, and teardown: the
// window first, then the rest in reverse order. Returns -1 when the window
// cannot load.
//
// Options (none are needed; without them nothing changes):
//   --virtual-instrument   a virtual NVX7300 inside the program, "VIRTUAL1"
//   --catalogue-url URL    the folder that holds the catalogue, e.g. http://host/731
//   --help, --version
int runToolkit(int &argc, char **argv, const StartupOptions &options = StartupOptions());

// The "appPath" value: the bare directory path parsed as a URL in tolerant
// mode, no scheme added and nothing escaped.
QUrl applicationPathUrl(const QString &directory);

} // namespace nvx
