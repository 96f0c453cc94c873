#include "bus_exchange.h"

#include "function_codes.h"
#include "modbus_reply.h"

namespace corvane {
namespace {

constexpr int kBroadcastAddress = 0;

int byteAt(const QByteArray &bytes, int position) {
    return position < bytes.size() ? static_cast<std::uint8_t>(bytes.at(position)) : -1;
}

bool replyShaped(const QByteArray &frame) {
    return expectedBusReplyLength(frame) == frame.size();
}

// A frame that only the silences around it told apart has no structure to say which way it went.
bool unstructured(const QByteArray &frame) {
    return !replyShaped(frame) && expectedRequestLength(frame) != frame.size();
}

} // namespace

int HeardExchange::address() const {
    if (!request.isEmpty())
        return byteAt(request, 0);
    return verdict == Verdict::Noise ? -1 : byteAt(reply, 0);
}

int HeardExchange::function() const {
    if (!request.isEmpty())
        return byteAt(request, 1);
    return verdict == Verdict::Noise ? -1 : byteAt(reply, 1);
}

QString verdictText(const HeardExchange &exchange) {
    using Verdict = HeardExchange::Verdict;
    switch (exchange.verdict) {
    case Verdict::Ok:
        return QStringLiteral("ok");
    case Verdict::Exception:
        return QStringLiteral("exception %1").arg(exchange.exceptionCode);
    case Verdict::CrcError:
        return QStringLiteral("crc error");
    case Verdict::NoReply:
        return QStringLiteral("no reply");
    case Verdict::Broadcast:
        return QStringLiteral("broadcast");
    case Verdict::NoRequest:
        return QStringLiteral("no request");
    case Verdict::Noise:
        return QStringLiteral("noise");
    }
    return {};
}

QString frameRoleText(FrameRole role) {
    switch (role) {
    case FrameRole::Request:
        return QStringLiteral("request");
    case FrameRole::Reply:
        return QStringLiteral("reply");
    case FrameRole::Noise:
        return QStringLiteral("noise");
    }
    return {};
}

ExchangePairer::ExchangePairer(std::chrono::nanoseconds settle, Sinks sinks)
    : m_settle(settle), m_sinks(std::move(sinks)) {}

void ExchangePairer::take(const HeardFrame &frame) {
    // Judged by the times heard, not by when idle() happens to run: the outcome is the same
    // however the bytes were read.
    if (m_pending && frame.start - m_pending->request.end > m_settle)
        settleUnanswered();
    if (frame.kind == HeardFrame::Kind::Frame) {
        takeFrame(frame);
        return;
    }
    if (m_sinks.frame)
        m_sinks.frame(frame, FrameRole::Noise);
    if (m_pending) {
        m_pending->noise << frame;
        return;
    }
    HeardExchange noise;
    noise.verdict = HeardExchange::Verdict::Noise;
    noise.reply = frame.bytes;
    noise.start = frame.start;
    settle(std::move(noise));
}

bool ExchangePairer::expects(const QByteArray &bytes, bool whole) const {
    if (!m_pending)
        return false;
    const QByteArray &asked = m_pending->request.bytes;
    if (byteAt(bytes, 0) != byteAt(asked, 0))
        return false;
    if (!whole) {
        const int function = byteAt(bytes, 1);
        return function == byteAt(asked, 1) || function == (byteAt(asked, 1) | kExceptionFlag);
    }
    if (!replyShaped(bytes) && !unstructured(bytes))
        return false;
    return answersRequest(bytes, SentRequest{byteAt(asked, 0), byteAt(asked, 1), asked});
}

void ExchangePairer::takeFrame(const HeardFrame &frame) {
    using Verdict = HeardExchange::Verdict;
    if (expects(frame.bytes)) {
        if (m_sinks.frame)
            m_sinks.frame(frame, FrameRole::Reply);
        HeardExchange exchange;
        const int function = byteAt(frame.bytes, 1);
        exchange.verdict = (function & kExceptionFlag) ? Verdict::Exception : Verdict::Ok;
        if (exchange.verdict == Verdict::Exception)
            exchange.exceptionCode = byteAt(frame.bytes, 2);
        exchange.request = m_pending->request.bytes;
        exchange.reply = frame.bytes;
        exchange.start = m_pending->request.start;
        exchange.replyTime = frame.end - m_pending->request.end;
        settle(std::move(exchange));
        return;
    }
    if (m_pending)
        settleUnanswered();
    const bool request =
        expectedRequestLength(frame.bytes) == frame.bytes.size() || unstructured(frame.bytes);
    if (m_sinks.frame)
        m_sinks.frame(frame, request ? FrameRole::Request : FrameRole::Reply);
    if (!request) {
        HeardExchange stray;
        stray.verdict = Verdict::NoRequest;
        stray.reply = frame.bytes;
        stray.start = frame.start;
        settle(std::move(stray));
        return;
    }
    if (byteAt(frame.bytes, 0) == kBroadcastAddress) {
        HeardExchange broadcast;
        broadcast.verdict = Verdict::Broadcast;
        broadcast.request = frame.bytes;
        broadcast.start = frame.start;
        settle(std::move(broadcast));
        return;
    }
    m_pending = Pending{frame, {}};
}

void ExchangePairer::idle(BusTime now) {
    if (m_pending && now - m_pending->request.end >= m_settle)
        settleUnanswered();
}

void ExchangePairer::finish() {
    if (m_pending)
        settleUnanswered();
}

std::optional<BusTime> ExchangePairer::deadline() const {
    if (!m_pending)
        return std::nullopt;
    return m_pending->request.end + m_settle;
}

void ExchangePairer::settleUnanswered() {
    HeardExchange exchange;
    exchange.request = m_pending->request.bytes;
    exchange.start = m_pending->request.start;
    for (const HeardFrame &noise : m_pending->noise)
        exchange.noiseLength += int(noise.bytes.size());
    exchange.verdict = exchange.noiseLength > 0 ? HeardExchange::Verdict::CrcError
                                                : HeardExchange::Verdict::NoReply;
    settle(std::move(exchange));
}

void ExchangePairer::settle(HeardExchange exchange) {
    // Taken out first: a sink may well feed more in.
    const QList<HeardFrame> noise = m_pending ? m_pending->noise : QList<HeardFrame>();
    m_pending.reset();
    if (m_sinks.exchange)
        m_sinks.exchange(exchange);
    for (const HeardFrame &run : noise) {
        HeardExchange heard;
        heard.verdict = HeardExchange::Verdict::Noise;
        heard.reply = run.bytes;
        heard.start = run.start;
        if (m_sinks.exchange)
            m_sinks.exchange(heard);
    }
}

} // namespace corvane
