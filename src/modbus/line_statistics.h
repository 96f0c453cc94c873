#pragma once

#include "request_runner.h"

#include <QList>
#include <QString>

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <utility>

namespace corvane {

// How one address has behaved on the line, counted over every try of every request sent to it.
// Each try is counted once: a reply, no reply, a CRC error, a reply to another request or an
// exception; requests = replies + the failed ones.
struct LinkCounts {
    qint64 requests = 0;
    qint64 replies = 0;
    // The window stayed empty, heard only the echo or another address, or the request never
    // left whole.
    qint64 noReply = 0;
    // The reply failed its CRC, or had bytes of something else in front of it.
    qint64 crcErrors = 0;
    // A good reply, but to another request.
    qint64 mismatches = 0;
    qint64 exceptions = 0;
    // Tries after the first of a step.
    qint64 retries = 0;
    // Bytes dropped before its requests went out, or come while none was in flight.
    qint64 strayBytes = 0;
    // From the request's last byte to the reply's, over the replies accepted.
    std::optional<double> medianMs;
    std::optional<double> p95Ms;
    std::optional<double> maxMs;

    qint64 failed() const { return noReply + crcErrors + mismatches + exceptions; }
    // The share of tries answered, in percent; nothing before the first request.
    std::optional<double> replyPercent() const;
};

// The line's statistics per address, from the runner's step outcomes. The reply time's median
// and 95th percentile are over the latest replies of each address (a fixed number of them, so
// memory stays flat however long the line is watched); its maximum is over all of them.
class LineStatistics {
public:
    static constexpr int kReplyTimesKept = 1024;

    LineStatistics() = default;
    ~LineStatistics();
    LineStatistics(const LineStatistics &) = delete;
    LineStatistics &operator=(const LineStatistics &) = delete;

    // Counts every step outcome the runner reports from now on, until this goes.
    void follow(RequestRunner &runner);
    void record(const StepOutcome &outcome);
    void reset();

    bool isEmpty() const { return m_links.empty(); }
    // Nothing counted yet gives zeros.
    LinkCounts counts(int address) const;
    QList<int> addresses() const;

    // The view's columns and a tab-separated copy of every address, with a header row.
    static QStringList columnTitles();
    static QStringList rowTexts(int address, const LinkCounts &counts);
    QString copyText() const;

private:
    struct Link {
        LinkCounts counts;
        std::array<float, kReplyTimesKept> times{};
        int timesKept = 0;
        int nextTime = 0;
        // The median and 95th percentile of the times kept, until the next reply: a table
        // asks for them at every paint.
        mutable std::optional<std::pair<double, double>> percentiles;
    };
    std::map<int, Link> m_links;
    QMetaObject::Connection m_following;
};

} // namespace corvane
