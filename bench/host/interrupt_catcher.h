// Ending a run from outside: Ctrl-C, a closed terminal or console, SIGTERM.
#pragma once

#if !defined(_WIN32)
#include <csignal>
#endif

namespace navhost {

// Turns Ctrl-C, a closed terminal (SIGHUP; on Windows the console's close,
// logoff and shutdown events) and SIGTERM into a request to end the run,
// from construction until destruction, when the previous handling comes
// back.
class InterruptCatcher {
  public:
    InterruptCatcher();
    ~InterruptCatcher();
    InterruptCatcher(const InterruptCatcher&) = delete;
    InterruptCatcher& operator=(const InterruptCatcher&) = delete;

    // Whether the end of the run was asked for since construction.
    bool requested() const;
    // The track is complete: a console being closed may now end the process.
    void finished() const;

  private:
#if !defined(_WIN32)
    struct sigaction oldInterrupt_, oldTerminate_, oldHangUp_;
#endif
};

} // namespace navhost
