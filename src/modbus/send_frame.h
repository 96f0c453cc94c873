#pragma once

#include "serial_line.h"

#include <QByteArray>

#include <chrono>

namespace corvane {

class Sleeper;

inline constexpr std::chrono::milliseconds kPreSendDelay{50};
inline constexpr std::chrono::milliseconds kClockPreSendDelay{10};
inline constexpr std::chrono::milliseconds kByteGap{2};

// The silence Modbus RTU asks before a frame: 3.5 character times, and a fixed 1.75 ms above
// 19200 baud, where 3.5 characters are too short for a receiver's timer to tell apart. A line
// that does not know its timing counts as 9600 baud with 11-bit characters.
std::chrono::microseconds interFrameSilence(const SerialLine::LineTiming &timing);

// One character on the line, start and stop bits included; a line that does not know its timing
// counts as 9600 baud with 11-bit characters.
std::chrono::microseconds characterTime(const SerialLine::LineTiming &timing);

// Keys RTS around the frame and writes it one byte at a time with a 2 ms pause after every
// byte, so the bus transceiver has turned round before the first byte and the frame is never
// handed to the driver as one block. RTS drops right after the last pause; nothing waits for the
// transmit queue to drain. Errors of the port propagate at once and leave RTS as it was then.
void SendFrame(SerialLine &line, Sleeper &sleeper, const QByteArray &frame,
               std::chrono::milliseconds preSendDelay);

// Fast mode: RTS up, the inter-frame silence, the frame as one write, and RTS down only once
// the output has drained. Without the pauses the frame has no gaps between characters, which
// strict devices require at 19200 baud and above.
void SendFrameWhole(SerialLine &line, Sleeper &sleeper, const QByteArray &frame);

// The frame as the port's keyed send takes it: with the designed pre-send delay and the 2 ms
// pauses, or whole after the line's inter-frame silence, counted from the last byte the line
// received.
SerialLine::KeyedFrame keyedFrame(const SerialLine &line, const QByteArray &frame,
                                  std::chrono::milliseconds preSendDelay, bool whole);

} // namespace corvane
