#pragma once

#include <QByteArray>

#include <cstdint>

namespace corvane {

// State shared by the request runner, the decoders and the device operations. It belongs
// to the main window for the program's lifetime and starts zero or empty.
struct EngineState {
    // Bytes received since the last request was started.
    QByteArray RxBuffer;
    // Bus address the last request went to, as it stood in the frame; 0 before the first. The
    // reply is held against it rather than against the selector, which may move meanwhile.
    std::int32_t RequestAddress = 0;
    // Function code of that request; a reply to it carries the same code.
    std::int32_t RequestFunction = 0;
    // While set, received 0x00 bytes are dropped: a bus turning around often produces one.
    bool SkipLeadingZero = false;
    // Registers of a block holding one 16-bit (InputCount) or one 32-bit (LongRegisterCount)
    // value per input of the recognised model; 0 until a model is known.
    std::int32_t InputCount = 0;
    std::int32_t LongRegisterCount = 0;
    // Kind (1 to 7) of the last service command sent; its acknowledgement is decoded by it.
    std::int32_t ServiceReplyKind = 0;
};

} // namespace corvane
