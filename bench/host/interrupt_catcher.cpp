// Ending a run from outside.
#include "interrupt_catcher.h"

#include <atomic>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace navhost {

namespace {

std::atomic<bool> interrupted(false);

#if defined(_WIN32)
// Set once the plugins are stopped and de-initialised.
HANDLE runFinished = nullptr;

BOOL WINAPI onConsoleControl(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        interrupted = true;
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        // The process ends when this returns: first let the run complete
        // the track, within the few seconds the system allows.
        interrupted = true;
        if (runFinished != nullptr)
            WaitForSingleObject(runFinished, 4500);
        return TRUE;
    default:
        return FALSE;
    }
}
#else
void onSignal(int) {
    interrupted = true;
}
#endif

} // namespace

InterruptCatcher::InterruptCatcher() {
    interrupted = false;
#if defined(_WIN32)
    runFinished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(&onConsoleControl, TRUE);
#else
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = &onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &oldInterrupt_);
    sigaction(SIGTERM, &action, &oldTerminate_);
    sigaction(SIGHUP, &action, &oldHangUp_);
#endif
}

InterruptCatcher::~InterruptCatcher() {
    finished();
#if defined(_WIN32)
    SetConsoleCtrlHandler(&onConsoleControl, FALSE);
    CloseHandle(runFinished);
    runFinished = nullptr;
#else
    sigaction(SIGINT, &oldInterrupt_, nullptr);
    sigaction(SIGTERM, &oldTerminate_, nullptr);
    sigaction(SIGHUP, &oldHangUp_, nullptr);
#endif
}

bool InterruptCatcher::requested() const {
    return interrupted;
}

void InterruptCatcher::finished() const {
#if defined(_WIN32)
    if (runFinished != nullptr)
        SetEvent(runFinished);
#endif
}

} // namespace navhost
