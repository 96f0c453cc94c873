#include "late_replies.h"

#include "modbus_reply.h"

#include <algorithm>

namespace corvane {

void LateReplies::owe(const SentRequest &request, std::uint64_t question,
                      Clock::time_point sentAt) {
    if (request.address == 0 || request.function == 0)
        return;
    expire(sentAt);
    m_owed.push_back({request, question, sentAt});
    const auto sameDevice = [&](const Owed &owed) {
        return owed.request.address == request.address;
    };
    while (std::count_if(m_owed.begin(), m_owed.end(), sameDevice) > kPerAddress)
        m_owed.erase(std::find_if(m_owed.begin(), m_owed.end(), sameDevice));
}

void LateReplies::expire(Clock::time_point now) {
    std::erase_if(m_owed, [&](const Owed &owed) { return now - owed.sentAt > m_horizon; });
}

int LateReplies::owedBy(int address, Clock::time_point now) const {
    return int(std::count_if(m_owed.begin(), m_owed.end(), [&](const Owed &owed) {
        return owed.request.address == address && now - owed.sentAt <= m_horizon;
    }));
}

void LateReplies::settle(int address, Clock::time_point askedBefore) {
    std::erase_if(m_owed, [&](const Owed &owed) {
        return owed.request.address == address && owed.sentAt < askedBefore;
    });
}

void LateReplies::settleQuestion(int address, std::uint64_t question) {
    const auto found = std::find_if(m_owed.begin(), m_owed.end(), [&](const Owed &owed) {
        return owed.request.address == address && owed.question == question;
    });
    if (found != m_owed.end())
        m_owed.erase(found);
}

LateReplies::Taken LateReplies::take(QByteArrayView frame, std::uint64_t question,
                                     Clock::time_point now) {
    expire(now);
    if (frame.isEmpty() || m_owed.empty())
        return {};
    const int address = static_cast<std::uint8_t>(frame.at(0));
    const QByteArray bytes = frame.toByteArray();
    const auto answered = std::find_if(m_owed.begin(), m_owed.end(), [&](const Owed &owed) {
        return owed.request.address == address && answersRequest(bytes, owed.request);
    });
    if (answered == m_owed.end())
        return {};
    if (question != 0 && answered->question == question)
        return {Match::SameQuestion, answered->sentAt};
    const Clock::time_point askedAt = answered->sentAt;
    // In order: whatever this device was asked before it, it will not answer now.
    const auto end = std::next(answered);
    m_owed.erase(
        std::remove_if(m_owed.begin(), end,
                       [address](const Owed &owed) { return owed.request.address == address; }),
        end);
    return {Match::Owed, askedAt};
}

} // namespace corvane
