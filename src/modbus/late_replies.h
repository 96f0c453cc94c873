#pragma once

#include "function_codes.h"

#include <QByteArrayView>

#include <chrono>
#include <cstdint>
#include <vector>

namespace corvane {

// Requests whose window closed in silence and that may still be answered. A busy logger, or a
// gateway that buffers, keeps what it is sent and answers in order, so its reply can come long
// after its window, while a later request of the same shape waits: a counters block for the next
// counters block. Such a reply is taken for the late answer it is, never for the later request's.
//
// A request that was merely lost on the line is never answered, and the first reply of its shape
// from that device then settles it in its place: a later request loses its answer once, and is
// retried where retries are on. That is the price of never taking one request's values for
// another's.
class LateReplies {
public:
    using Clock = std::chrono::steady_clock;
    // Kept per device, the oldest giving way: no logger queues more.
    static constexpr int kPerAddress = 4;

    enum class Match {
        // The frame answers nothing owed.
        None,
        // The late answer to an owed request: it, and the older ones of its device, which a
        // device answering in order has passed, are settled.
        Owed,
        // It may be the late answer to an earlier try of the very request now asked again: the
        // same question, so the answer holds for this try. Nothing is settled: one of the two
        // tries is still unanswered.
        SameQuestion,
    };

    struct Taken {
        Match match = Match::None;
        // Owed: when the request it answers was sent.
        Clock::time_point askedAt;
    };

    // A try whose window closed in silence; `question` tells the tries of one step of one
    // command apart from every other request, however alike their frames.
    void owe(const SentRequest &request, std::uint64_t question, Clock::time_point sentAt);
    // The device has answered the request just asked, or has caught up: answering in order,
    // it owes nothing asked before `askedBefore`.
    void settle(int address, Clock::time_point askedBefore = Clock::time_point::max());
    // The oldest try of that question has been answered.
    void settleQuestion(int address, std::uint64_t question);
    // A late reply is not waited for longer than this after its request.
    void setHorizon(std::chrono::milliseconds horizon) { m_horizon = horizon; }
    void clear() { m_owed.clear(); }
    // Requests still owed by a device.
    int owedBy(int address, Clock::time_point now) const;
    int size() const { return int(m_owed.size()); }

    // A checked frame that arrived: whether it answers a request owed by the device it comes
    // from, and if so settles it. `question` is that of the try in flight, or 0.
    Taken take(QByteArrayView frame, std::uint64_t question, Clock::time_point now);

private:
    struct Owed {
        SentRequest request;
        std::uint64_t question = 0;
        Clock::time_point sentAt;
    };
    void expire(Clock::time_point now);

    std::vector<Owed> m_owed; // oldest first
    std::chrono::milliseconds m_horizon{5000};
};

} // namespace corvane
