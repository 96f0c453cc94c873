#pragma once

#include "serial_line.h"

#include <QByteArray>

#include <chrono>

namespace corvane {

class Sleeper;

inline constexpr std::chrono::milliseconds kPreSendDelay{50};
inline constexpr std::chrono::milliseconds kClockPreSendDelay{10};
inline constexpr std::chrono::milliseconds kByteGap{2};

// Keys RTS around the frame and writes it one byte at a time with a 2 ms pause after every
// byte, so the bus transceiver has turned round before the first byte and the frame is never
// handed to the driver as one block. RTS drops right after the last pause; nothing waits for the
// transmit queue to drain. Errors of the port propagate at once and leave RTS as it was then.
void SendFrame(SerialLine &line, Sleeper &sleeper, const QByteArray &frame,
               std::chrono::milliseconds preSendDelay);

// Fast mode: RTS up, the pre-send delay, the frame as one write, and RTS down only once the
// output has drained. Without the pauses the frame has no gaps between characters, which
// strict devices require at 19200 baud and above.
void SendFrameWhole(SerialLine &line, Sleeper &sleeper, const QByteArray &frame,
                    std::chrono::milliseconds preSendDelay);

// The frame as the port's keyed send takes it: with the 2 ms pauses, or whole.
SerialLine::KeyedFrame keyedFrame(const QByteArray &frame, std::chrono::milliseconds preSendDelay,
                                  bool whole);

} // namespace corvane
