#pragma once

#include <QUrl>

namespace nvx {

struct StartupOptions
{
    // The window to load; tests point it elsewhere to drive the failure path.
    QUrl windowUrl = QUrl(QStringLiteral("qrc:/main.qml"));
};

// The program's composition root: identity, log handler, default translator,
// QML types, the objects the window reaches by name, the window, the event
// loop, and teardown in reverse order. Returns -1 when the window cannot load.
int runToolkit(int &argc, char **argv, const StartupOptions &options = StartupOptions());

// The "appPath" value: the bare directory path parsed as a URL in tolerant
// mode, no scheme added and nothing escaped.
QUrl applicationPathUrl(const QString &directory);

} // namespace nvx
