#pragma once

// Jobs driven through a Controller as the window and nvx7300ctl drive them:
// one at a time, each awaited until its outcome arrives.

#include "controller.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QString>

namespace jobs {

constexpr int kJobMs = 60000; // upper bound for one job; a hang fails, it never slows a good run

// The version text a read ends with, or "<timeout>".
inline QString readVersion(Controller &c, const QString &port)
{
    QSignalSpy versions(&c, &Controller::controllerHandleVersionChanged);
    c.read(port);
    if (!versions.wait(kJobMs))
        return QStringLiteral("<timeout>");
    return versions.last().at(0).toString();
}

// The job's result, or -1 when none came. A refusal reports 0 once; an
// engine run reports its result, and the worker reports it again when the
// whole job is over.
inline int runJob(Controller &c, const QString &port, const QString &file)
{
    QSignalSpy statuses(&c, &Controller::controllerHandleStatusChanged);
    c.start(port, file);
    int first = -1;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < kJobMs) {
        if (statuses.isEmpty() && !statuses.wait(kJobMs))
            return -1;
        while (!statuses.isEmpty()) {
            const int status = statuses.takeFirst().at(0).toInt();
            if (status == 2)
                continue;
            if (status == 0 || status == first)
                return status;
            first = status;
        }
    }
    return -1;
}

} // namespace jobs
