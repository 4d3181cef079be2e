// SIGINT and SIGTERM as a readable descriptor: the first asks for a stop
// (the command loop sees it), a second one leaves at once. SIGHUP, the
// logrotate convention, only asks for the logs to be reopened.
#pragma once

namespace smdhost {

class StopSignals {
public:
    // Installs the handlers; false when the pipes cannot be made.
    bool install();
    ~StopSignals();
    // Readable once a signal arrived.
    int fd() const;
    // Takes the signal that arrived: "SIGINT" or "SIGTERM".
    const char* take();
    // Readable once a SIGHUP arrived; takeReopen empties it (several
    // SIGHUPs in a row ask for one reopening).
    int reopenFd() const;
    void takeReopen();
};

}  // namespace smdhost
