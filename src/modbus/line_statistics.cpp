#include "line_statistics.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace corvane {
namespace {

QString msText(const std::optional<double> &ms) {
    return ms ? QString::number(*ms, 'f', 1) : QString();
}

} // namespace

std::optional<double> LinkCounts::replyPercent() const {
    if (requests <= 0)
        return std::nullopt;
    return 100.0 * double(replies) / double(requests);
}

LineStatistics::~LineStatistics() {
    QObject::disconnect(m_following);
}

void LineStatistics::follow(RequestRunner &runner) {
    QObject::disconnect(m_following);
    m_following = QObject::connect(&runner, &RequestRunner::stepEnded, &runner,
                     [this](const StepOutcome &outcome) { record(outcome); });
}

void LineStatistics::record(const StepOutcome &outcome) {
    // A broadcast awaits no answer and has no outcome; an address outside the bus has no row.
    if (outcome.request.address <= 0)
        return;
    Link &link = m_links[outcome.request.address];
    LinkCounts &c = link.counts;
    using Kind = ReplyVerdict::Kind;
    for (const Attempt &attempt : outcome.attempts) {
        ++c.requests;
        if (attempt.number > 1)
            ++c.retries;
        c.strayBytes += attempt.strayBytes;
        switch (attempt.verdict.kind) {
        case Kind::Accepted: {
            ++c.replies;
            if (!attempt.leftAt.isValid() || !attempt.completedAt.isValid())
                break;
            const double ms =
                std::max<qint64>(0, attempt.leftAt.msecsTo(attempt.completedAt));
            c.maxMs = std::max(c.maxMs.value_or(0.0), ms);
            link.times[std::size_t(link.nextTime)] = float(ms);
            link.nextTime = (link.nextTime + 1) % kReplyTimesKept;
            link.timesKept = std::min(link.timesKept + 1, kReplyTimesKept);
            link.percentiles.reset();
            break;
        }
        case Kind::NoReply:
        case Kind::EchoOnly:
        case Kind::OtherAddress:
            ++c.noReply;
            break;
        case Kind::CrcError:
        case Kind::LeadingZero:
        case Kind::GarbageBefore:
            ++c.crcErrors;
            break;
        case Kind::OtherRequest:
            ++c.mismatches;
            break;
        case Kind::Exception:
            ++c.exceptions;
            break;
        }
    }
}

void LineStatistics::reset() {
    m_links.clear();
}

LinkCounts LineStatistics::counts(int address) const {
    const auto it = m_links.find(address);
    if (it == m_links.end())
        return {};
    const Link &link = it->second;
    LinkCounts c = link.counts;
    if (link.timesKept > 0 && !link.percentiles) {
        std::vector<float> times(link.times.begin(), link.times.begin() + link.timesKept);
        // The nearest rank: a percentile is always one of the times measured.
        const auto rank = [&](double share) {
            const auto index = std::size_t(std::max(0.0, std::ceil(share * double(times.size())) - 1));
            std::nth_element(times.begin(), times.begin() + std::ptrdiff_t(index), times.end());
            return double(times[index]);
        };
        link.percentiles = std::pair(rank(0.5), rank(0.95));
    }
    if (link.percentiles) {
        c.medianMs = link.percentiles->first;
        c.p95Ms = link.percentiles->second;
    }
    return c;
}

QList<int> LineStatistics::addresses() const {
    QList<int> list;
    for (const auto &[address, link] : m_links)
        list << address;
    return list;
}

QStringList LineStatistics::columnTitles() {
    return {QStringLiteral("Address"),      QStringLiteral("Requests"),
            QStringLiteral("Replies"),      QStringLiteral("No reply"),
            QStringLiteral("CRC errors"),   QStringLiteral("Other request"),
            QStringLiteral("Exceptions"),   QStringLiteral("Retries"),
            QStringLiteral("Stray bytes"),  QStringLiteral("Median (ms)"),
            QStringLiteral("95% (ms)"),     QStringLiteral("Max (ms)")};
}

QStringList LineStatistics::rowTexts(int address, const LinkCounts &c) {
    return {QString::number(address),   QString::number(c.requests),
            QString::number(c.replies),  QString::number(c.noReply),
            QString::number(c.crcErrors), QString::number(c.mismatches),
            QString::number(c.exceptions), QString::number(c.retries),
            QString::number(c.strayBytes), msText(c.medianMs),
            msText(c.p95Ms),             msText(c.maxMs)};
}

QString LineStatistics::copyText() const {
    QStringList lines{columnTitles().join(QLatin1Char('\t'))};
    for (const int address : addresses())
        lines << rowTexts(address, counts(address)).join(QLatin1Char('\t'));
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

} // namespace corvane
