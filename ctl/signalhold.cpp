#include "signalhold.h"

#include "jobguard.h"
#include "terminal.h"

#include <QSocketNotifier>

#include <csignal>
#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace nvxctl {

#ifndef Q_OS_WIN
namespace {

constexpr int kSignalExitBase = 128;
int g_wakeUp[2] = {-1, -1}; // the handler writes, the main thread reads

void onSignal(int signal)
{
    if (workflow::jobguard::holdSignal(signal)) {
        const char byte = char(signal);
        const ssize_t written = ::write(g_wakeUp[1], &byte, 1);
        (void)written; // a full pipe already holds the news
        return;
    }
    // Not in the phase that erases, and none can begin now: stop as if no
    // handler were there.
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

} // namespace

void holdSignalsDuringErase()
{
    if (::pipe2(g_wakeUp, O_CLOEXEC | O_NONBLOCK) != 0)
        return; // the signals keep stopping the program at once
    auto *notifier = new QSocketNotifier(g_wakeUp[0], QSocketNotifier::Read);
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
        static bool said = false;
        char bytes[16];
        while (::read(g_wakeUp[0], bytes, sizeof bytes) > 0) {
        }
        if (said)
            return;
        said = true;
        printErr(QStringLiteral("cannot stop now: the NVX7300 is being erased and programmed, and stopping would "
                                "leave it without firmware; nvx7300ctl stops when the update has ended"));
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}

int exitStatusAfterSignals(int exitStatus)
{
    const int held = workflow::jobguard::heldSignal();
    return held == 0 ? exitStatus : kSignalExitBase + held;
}
#else
// Windows delivers Ctrl+C on a thread of its own and ends the program when
// the handler returns FALSE; TRUE keeps it running.
namespace {
BOOL WINAPI onControl(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    return workflow::jobguard::holdSignal(SIGINT) ? TRUE : FALSE;
}
} // namespace

void holdSignalsDuringErase()
{
    ::SetConsoleCtrlHandler(onControl, TRUE);
}

int exitStatusAfterSignals(int exitStatus)
{
    return workflow::jobguard::heldSignal() == 0 ? exitStatus : 128 + workflow::jobguard::heldSignal();
}
#endif

} // namespace nvxctl
