#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <optional>
#include <random>

namespace corvane {

enum class FaultKind {
    NoReply,        // stay silent
    Delay,          // answer after `delay`
    BadCrc,         // a reply whose CRC does not check
    Exception,      // the exception `exceptionCode` instead of the answer
    LeadingZeros,   // `zeroCount` 0x00 bytes before the reply
    TrailingFiller, // one 0x00 after the reply
    Split,          // the reply in `parts` writes with `partPause` between them
    WrongAddress,   // the reply from `replyAddress` (the next address when -1)
};

QString faultKindName(FaultKind kind);
// The kind a name of faultKindName's stands for.
std::optional<FaultKind> faultKindFromName(const QString &name);

// One fault on cue. Selectors left at -1 match everything: `slave` is the address the request
// went to, `function` its function code, and `target` the register for register functions
// (matched anywhere in the range the request covers), the record number for file records, the
// sub-code for 0x47 and the code for device identification. `times` limits how often the rule
// fires; -1 keeps it for good.
struct FaultRule {
    FaultKind kind = FaultKind::NoReply;
    int slave = -1;
    int function = -1;
    int target = -1;
    int times = -1;
    std::chrono::milliseconds delay{800};
    int exceptionCode = 4;
    int zeroCount = 2;
    int parts = 3;
    std::chrono::milliseconds partPause{20};
    int replyAddress = -1;
};

// Parses the command-line form KIND[=VALUE][,KEY=VALUE...], e.g. "delay=800,function=3",
// "exception=2,register=0x8000,times=1", "split=4,pause=30". Kinds: no-reply, delay=MS,
// bad-crc, exception=CODE, leading-zeros=N, filler, split=PARTS, wrong-address=ADDR. Keys:
// slave, function, register (or target), times, pause. Numbers may be given in hex (0x...).
std::optional<FaultRule> parseFaultRule(const QString &text, QString *error = nullptr);

// What the request is about, for matching rules.
struct RequestTarget {
    int slave = 0;
    int function = 0;
    int first = -1;
    int count = 0;
};
RequestTarget requestTarget(const QByteArray &frame);

// A reply as it goes on the line: pieces written one after the other, each after its pause.
struct ReplyChunk {
    QByteArray bytes;
    std::chrono::milliseconds pauseBefore{0};
};

struct SimResponse {
    QList<ReplyChunk> chunks;
    QStringList faults; // names of the faults applied, for the traffic log
    bool silent() const { return chunks.isEmpty(); }
    QByteArray bytes() const;
};

// The faults in force and the random generator. Every kind is applied at most once per reply
// (the first rule of each kind that matches); kinds combine, e.g. leading zeros in a split reply.
class FaultPlan {
public:
    int add(const FaultRule &rule);
    void remove(int id);
    void clear();
    bool isEmpty() const { return m_rules.isEmpty() && m_randomRate <= 0; }
    // Each request then gets, with this probability, one fault drawn from `kinds` (all kinds
    // with their default parameters when empty). The same seed gives the same faults.
    // shape gives the random faults their values (a delay's length, say); its kind and
    // selectors are not used.
    void setRandom(double rate, std::uint32_t seed, const QList<FaultKind> &kinds = {},
                   const FaultRule &shape = {});

    // The faults for one request; counted rules are used up and the generator moves on.
    QList<FaultRule> select(const RequestTarget &request);
    // The reply as the faults change it, in the fixed order: exception, wrong address, bad
    // CRC, leading zeros, filler, then the timing (delay, split) and silence.
    static SimResponse apply(const QByteArray &reply, const QList<FaultRule> &faults);

private:
    struct Entry {
        int id;
        FaultRule rule;
    };
    QList<Entry> m_rules;
    int m_nextId = 1;
    double m_randomRate = 0;
    QList<FaultKind> m_randomKinds;
    FaultRule m_randomShape;
    std::mt19937 m_random;
};

} // namespace corvane
