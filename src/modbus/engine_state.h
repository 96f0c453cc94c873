#pragma once

#include <QByteArray>

namespace corvane {

// State shared by the request runner and the device operations. It belongs to the main window
// for the program's lifetime and starts zero or empty.
struct EngineState {
    // Bytes received since the last request was started.
    QByteArray RxBuffer;
    // While set, received 0x00 bytes are dropped: a bus turning around often produces one.
    bool SkipLeadingZero = false;
};

} // namespace corvane
