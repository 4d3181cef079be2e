// SIGINT and SIGTERM as a readable descriptor: the first asks for a stop
// (the command loop sees it), a second one leaves at once.
#pragma once

namespace smdhost {

class StopSignals {
public:
    // Installs the handlers; false when the pipe cannot be made.
    bool install();
    ~StopSignals();
    // Readable once a signal arrived.
    int fd() const;
    // Takes the signal that arrived: "SIGINT" or "SIGTERM".
    const char* take();
};

}  // namespace smdhost
