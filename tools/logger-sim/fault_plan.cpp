#include "fault_plan.h"

#include "crc16.h"
#include "request_handler.h"

#include <algorithm>
#include <array>

namespace corvane {
namespace {

struct KindName {
    FaultKind kind;
    const char *name;
};

constexpr std::array kKindNames = {
    KindName{FaultKind::NoReply, "no-reply"},
    KindName{FaultKind::Delay, "delay"},
    KindName{FaultKind::BadCrc, "bad-crc"},
    KindName{FaultKind::Exception, "exception"},
    KindName{FaultKind::LeadingZeros, "leading-zeros"},
    KindName{FaultKind::TrailingFiller, "filler"},
    KindName{FaultKind::Split, "split"},
    KindName{FaultKind::WrongAddress, "wrong-address"},
};

// The order in which faults change a reply.
constexpr std::array kApplyOrder = {
    FaultKind::Exception,      FaultKind::WrongAddress, FaultKind::BadCrc, FaultKind::LeadingZeros,
    FaultKind::TrailingFiller, FaultKind::Delay,        FaultKind::Split,  FaultKind::NoReply,
};

int byteAt(const QByteArray &frame, int index) {
    return static_cast<std::uint8_t>(frame.at(index));
}

int wordAt(const QByteArray &frame, int index) {
    return (byteAt(frame, index) << 8) | byteAt(frame, index + 1);
}

bool matches(const FaultRule &rule, const RequestTarget &request) {
    if (rule.slave >= 0 && rule.slave != request.slave)
        return false;
    if (rule.function >= 0 && rule.function != request.function)
        return false;
    if (rule.target >= 0 && (request.first < 0 || rule.target < request.first ||
                             rule.target >= request.first + std::max(request.count, 1)))
        return false;
    return true;
}

// Whether the master's reply check would take the bytes as a good frame, with or without a
// trailing filler byte.
bool crcAccepted(const QByteArray &bytes) {
    if (bytes.size() >= 3 && Crc16(bytes) == 0)
        return true;
    return bytes.size() >= 4 && bytes.endsWith('\0') && Crc16(bytes.left(bytes.size() - 1)) == 0;
}

// Spoils the CRC so that no reading of the reply checks, whatever bytes it happens to hold.
QByteArray withBadCrc(const QByteArray &reply) {
    if (reply.size() < 2)
        return reply;
    for (int mask : {0x00FF, 0xFF00, 0xFFFF, 0x0F0F, 0xF0F0, 0x0101}) {
        QByteArray spoilt = reply;
        const qsizetype low = spoilt.size() - 2;
        spoilt[low] = static_cast<char>(byteAt(spoilt, static_cast<int>(low)) ^ (mask & 0xFF));
        spoilt[low + 1] =
            static_cast<char>(byteAt(spoilt, static_cast<int>(low + 1)) ^ (mask >> 8));
        if (!crcAccepted(spoilt))
            return spoilt;
    }
    return reply;
}

QByteArray fromOtherAddress(const QByteArray &reply, int replyAddress) {
    if (reply.size() < 3)
        return reply;
    QByteArray moved = reply.left(reply.size() - 2);
    const int own = byteAt(moved, 0);
    moved[0] = static_cast<char>(replyAddress >= 0 ? replyAddress : own % 247 + 1);
    appendCrc(moved);
    return moved;
}

std::optional<int> parseNumber(const QString &text) {
    bool ok = false;
    const int value = text.trimmed().toInt(&ok, 0);
    if (!ok)
        return std::nullopt;
    return value;
}

} // namespace

QString faultKindName(FaultKind kind) {
    for (const KindName &entry : kKindNames) {
        if (entry.kind == kind)
            return QString::fromLatin1(entry.name);
    }
    return {};
}

std::optional<FaultKind> faultKindFromName(const QString &name) {
    for (const KindName &entry : kKindNames) {
        if (name == QLatin1String(entry.name))
            return entry.kind;
    }
    return std::nullopt;
}

std::optional<FaultRule> parseFaultRule(const QString &text, QString *error) {
    auto fail = [error, &text](const QString &why) -> std::optional<FaultRule> {
        if (error)
            *error = QStringLiteral("bad fault \"%1\": %2").arg(text, why);
        return std::nullopt;
    };
    const QStringList parts = text.split(u',', Qt::SkipEmptyParts);
    if (parts.isEmpty())
        return fail(QStringLiteral("empty"));

    FaultRule rule;
    bool kindFound = false;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const QString key = parts[i].section(u'=', 0, 0).trimmed();
        const QString valueText = parts[i].section(u'=', 1);
        const bool hasValue = parts[i].contains(u'=');
        std::optional<int> value;
        if (hasValue) {
            value = parseNumber(valueText);
            if (!value || *value < 0)
                return fail(QStringLiteral("\"%1\" is not a number").arg(valueText));
        }
        if (i == 0) {
            for (const KindName &entry : kKindNames) {
                if (key == QLatin1String(entry.name)) {
                    rule.kind = entry.kind;
                    kindFound = true;
                }
            }
            if (!kindFound)
                return fail(QStringLiteral("unknown kind \"%1\"").arg(key));
            if (value) {
                switch (rule.kind) {
                case FaultKind::Delay:
                    rule.delay = std::chrono::milliseconds(*value);
                    break;
                case FaultKind::Exception:
                    rule.exceptionCode = *value;
                    break;
                case FaultKind::LeadingZeros:
                    rule.zeroCount = *value;
                    break;
                case FaultKind::Split:
                    rule.parts = *value;
                    break;
                case FaultKind::WrongAddress:
                    rule.replyAddress = *value;
                    break;
                default:
                    return fail(QStringLiteral("%1 takes no value").arg(key));
                }
            }
            continue;
        }
        if (!value)
            return fail(QStringLiteral("\"%1\" needs a value").arg(key));
        if (key == QLatin1String("slave"))
            rule.slave = *value;
        else if (key == QLatin1String("function"))
            rule.function = *value;
        else if (key == QLatin1String("register") || key == QLatin1String("target"))
            rule.target = *value;
        else if (key == QLatin1String("times"))
            rule.times = *value;
        else if (key == QLatin1String("pause"))
            rule.partPause = std::chrono::milliseconds(*value);
        else
            return fail(QStringLiteral("unknown key \"%1\"").arg(key));
    }
    if (rule.kind == FaultKind::Split && rule.parts < 2)
        return fail(QStringLiteral("a split needs at least 2 parts"));
    if (rule.kind == FaultKind::Exception && (rule.exceptionCode < 1 || rule.exceptionCode > 255))
        return fail(QStringLiteral("exception codes are 1 to 255"));
    return rule;
}

RequestTarget requestTarget(const QByteArray &frame) {
    RequestTarget target;
    const int size = static_cast<int>(frame.size());
    if (size < 2)
        return target;
    target.slave = byteAt(frame, 0);
    target.function = byteAt(frame, 1);
    switch (target.function) {
    case 0x01:
    case 0x02:
    case 0x03:
    case 0x04:
    case 0x0F:
    case 0x10:
        if (size >= 6) {
            target.first = wordAt(frame, 2);
            target.count = wordAt(frame, 4);
        }
        break;
    case 0x05:
    case 0x06:
        if (size >= 4) {
            target.first = wordAt(frame, 2);
            target.count = 1;
        }
        break;
    case 0x14:
    case 0x15:
        if (size >= 8) {
            target.first = wordAt(frame, 6);
            target.count = 1;
        }
        break;
    case 0x47:
        if (size >= 3) {
            target.first = byteAt(frame, 2);
            target.count = 1;
        }
        break;
    case 0x2B:
        if (size >= 4) {
            target.first = byteAt(frame, 3);
            target.count = 1;
        }
        break;
    default:
        break;
    }
    return target;
}

QByteArray SimResponse::bytes() const {
    QByteArray all;
    for (const ReplyChunk &chunk : chunks)
        all.append(chunk.bytes);
    return all;
}

int FaultPlan::add(const FaultRule &rule) {
    const int id = m_nextId++;
    m_rules.append({id, rule});
    return id;
}

void FaultPlan::remove(int id) {
    m_rules.removeIf([id](const Entry &entry) { return entry.id == id; });
}

void FaultPlan::clear() {
    m_rules.clear();
    m_randomRate = 0;
}

void FaultPlan::setRandom(double rate, std::uint32_t seed, const QList<FaultKind> &kinds,
                          const FaultRule &shape) {
    m_randomRate = std::clamp(rate, 0.0, 1.0);
    m_randomShape = shape;
    m_randomShape.slave = m_randomShape.function = m_randomShape.target = -1;
    m_randomShape.times = -1;
    m_random.seed(seed);
    m_randomKinds = kinds;
    if (m_randomKinds.isEmpty()) {
        for (const KindName &entry : kKindNames)
            m_randomKinds.append(entry.kind);
    }
}

QList<FaultRule> FaultPlan::select(const RequestTarget &request) {
    QList<FaultRule> chosen;
    auto alreadyChosen = [&chosen](FaultKind kind) {
        return std::any_of(chosen.cbegin(), chosen.cend(),
                           [kind](const FaultRule &rule) { return rule.kind == kind; });
    };
    for (Entry &entry : m_rules) {
        if (!matches(entry.rule, request) || alreadyChosen(entry.rule.kind))
            continue;
        chosen.append(entry.rule);
        if (entry.rule.times > 0)
            --entry.rule.times;
    }
    m_rules.removeIf([](const Entry &entry) { return entry.rule.times == 0; });

    if (m_randomRate > 0) {
        // Two draws for every request, faulted or not, so that a seed fixes the whole run.
        const double draw = static_cast<double>(m_random()) / 4294967296.0;
        const std::uint32_t pick = m_random();
        if (draw < m_randomRate) {
            FaultRule rule = m_randomShape;
            rule.kind = m_randomKinds[static_cast<qsizetype>(pick % m_randomKinds.size())];
            if (!alreadyChosen(rule.kind))
                chosen.append(rule);
        }
    }
    return chosen;
}

SimResponse FaultPlan::apply(const QByteArray &reply, const QList<FaultRule> &faults) {
    SimResponse response;
    QByteArray bytes = reply;
    std::chrono::milliseconds delay{0};
    const FaultRule *split = nullptr;
    bool silent = bytes.isEmpty();
    for (FaultKind kind : kApplyOrder) {
        const auto rule = std::find_if(faults.cbegin(), faults.cend(),
                                       [kind](const FaultRule &r) { return r.kind == kind; });
        if (rule == faults.cend() || bytes.size() < 3)
            continue;
        response.faults.append(faultKindName(kind));
        switch (kind) {
        case FaultKind::Exception:
            bytes = exceptionReply(byteAt(bytes, 0), byteAt(bytes, 1) & 0x7F, rule->exceptionCode);
            break;
        case FaultKind::WrongAddress:
            bytes = fromOtherAddress(bytes, rule->replyAddress);
            break;
        case FaultKind::BadCrc:
            bytes = withBadCrc(bytes);
            break;
        case FaultKind::LeadingZeros:
            bytes.prepend(QByteArray(std::max(rule->zeroCount, 0), '\0'));
            break;
        case FaultKind::TrailingFiller:
            bytes.append('\0');
            break;
        case FaultKind::Delay:
            delay = rule->delay;
            break;
        case FaultKind::Split:
            split = &*rule;
            break;
        case FaultKind::NoReply:
            silent = true;
            break;
        }
    }
    if (silent)
        return response;

    const int parts = split ? std::clamp(split->parts, 1, static_cast<int>(bytes.size())) : 1;
    qsizetype pos = 0;
    for (int part = 0; part < parts; ++part) {
        const qsizetype end = bytes.size() * (part + 1) / parts;
        ReplyChunk chunk{bytes.mid(pos, end - pos), part == 0 ? delay : split->partPause};
        response.chunks.append(chunk);
        pos = end;
    }
    return response;
}

} // namespace corvane
