#pragma once

#include "ser_comm_types.h"

#include <chrono>

namespace corvane {

class DeviceSession;
class TSerCustomComm;

// How the program talks on its line. The Options dialog, the settings file and the command line
// each give the same five.
struct LinkOptions {
    std::chrono::milliseconds responseWindow{500};
    // Windows close on a complete reply, requests go out whole.
    bool fast = false;
    // The adapter sends every request back.
    bool ignoreEcho = false;
    int retries = 0;
    TSerDirection direction = sdKeyedRts;
};

// The one place they are put in force, at start-up, after Options and on the command line: the
// runner's windows, fast mode, echo and retries at once, and the direction when the port next
// opens, since an open port's transceiver is already set up.
void applyLinkOptions(const LinkOptions &options, DeviceSession &session, TSerCustomComm &comm);

} // namespace corvane
