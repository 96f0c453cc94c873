#pragma once

#include <QByteArray>

#include <optional>

namespace corvane {

// Cuts a byte stream into request frames without looking at timing, which on a
// pseudo-terminal means nothing. A frame's length follows from its function code (and, for
// the functions with a byte count, from that count); the frame counts only when its CRC
// checks. When the CRC fails or the function is not one a master may send, the first byte is
// dropped as garbage and the rest is tried again; when the frame is not complete yet, the
// framer waits for more bytes. Functions that are framed here but not implemented by the
// logger reach it and get ILLEGAL FUNCTION; other function codes can only be garbage.
class RequestFramer {
public:
    void feed(const QByteArray &bytes);
    // The next complete frame (with its CRC), or nullopt when more bytes are needed.
    std::optional<QByteArray> nextFrame();
    // Bytes waiting for the rest of their frame.
    bool hasPartialFrame() const { return !m_buffer.isEmpty(); }
    // Gives up on the frame at the front: a master that went quiet in the middle of a frame
    // will not finish it, and a garbage byte that looked like a long frame's header must not
    // hold back the requests behind it for ever.
    void dropFirstByte();
    // Everything dropped as garbage since the last call.
    QByteArray takeDiscarded();

    // Length of the frame that starts the buffer: a value above the buffer's size asks for more
    // bytes; 0 means that the function code is unknown. Exposed for tests.
    static int expectedLength(const QByteArray &buffer);

private:
    QByteArray m_buffer;
    QByteArray m_discarded;
};

} // namespace corvane
