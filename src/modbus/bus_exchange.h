#pragma once

#include "bus_framer.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

namespace corvane {

// A request heard on the line and what followed it, or a run of noise.
struct HeardExchange {
    enum class Verdict {
        Ok,
        Exception,
        // Only bytes that formed no frame followed the request.
        CrcError,
        NoReply,
        // Address 0: every device acts, none answers.
        Broadcast,
        // A reply whose request was not heard: the listening began after it, or the reply came
        // after its request had been given up.
        NoRequest,
        Noise,
    };

    Verdict verdict = Verdict::NoReply;
    int exceptionCode = 0;
    // The request frame; empty for NoRequest and Noise.
    QByteArray request;
    // The reply frame; for Noise the bytes themselves.
    QByteArray reply;
    // When its first byte was heard (the request's where there is one).
    BusTime start;
    // From the request's last byte to the reply's.
    std::optional<std::chrono::nanoseconds> replyTime;
    // CrcError: how many bytes came after the request.
    int noiseLength = 0;

    // Of the request, or of the reply where no request was heard; -1 for noise.
    int address() const;
    int function() const;
};

// "ok", "exception N", "crc error", "no reply", "broadcast", "no request"; "noise" for noise.
QString verdictText(const HeardExchange &exchange);

// What a heard frame was taken for.
enum class FrameRole { Request, Reply, Noise };
QString frameRoleText(FrameRole role);

// Pairs each request heard with the reply that follows it, in the order heard.
//
// A frame that follows a request is its reply when it comes from the device asked and answers
// that request in full (answersRequest: the function or its exception, the byte count of a read,
// the echo of a write), and comes within the settle time after the request. Anything else settles
// the request as unanswered: a new request, a reply to something else, or the settle time passing
// (idle). Noise that follows a request is kept with it: if no reply comes, the request's verdict
// is a CRC error. Exchanges go out when settled, each followed by the noise heard during it, so
// that the output reads in the order of time.
class ExchangePairer {
public:
    struct Sinks {
        // Every frame and every run of noise at once, with what it was taken for.
        std::function<void(const HeardFrame &, FrameRole)> frame;
        // Exchanges and noise, once settled.
        std::function<void(const HeardExchange &)> exchange;
    };

    ExchangePairer(std::chrono::nanoseconds settle, Sinks sinks);

    void take(const HeardFrame &frame);
    // Nothing more has been heard up to now: a request whose settle time has passed is
    // unanswered.
    void idle(BusTime now);
    // The listening ends: a request still waiting is unanswered.
    void finish();
    std::optional<BusTime> deadline() const;
    // Whether this frame would be taken as the reply to the request waiting now; with whole
    // false, whether a frame that begins with these bytes might be.
    bool expects(const QByteArray &bytes, bool whole = true) const;

    // Longer than any master's response window.
    static constexpr std::chrono::milliseconds kDefaultSettle{1000};

private:
    struct Pending {
        HeardFrame request;
        QList<HeardFrame> noise;
    };

    void takeFrame(const HeardFrame &frame);
    void settleUnanswered();
    void settle(HeardExchange exchange);

    std::chrono::nanoseconds m_settle;
    Sinks m_sinks;
    std::optional<Pending> m_pending;
};

} // namespace corvane
