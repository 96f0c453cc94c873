#pragma once

#include "bus_exchange.h"

#include <QList>
#include <QString>

#include <optional>

namespace corvane {

// One value an exchange read or wrote: an input's (named "1" to "8") or one of its own
// ("clock", "battery", "identification", ...).
struct ExchangeValue {
    QString name;
    QString text;
    // The value as a number, where it is one.
    std::optional<double> number;
    friend bool operator==(const ExchangeValue &, const ExchangeValue &) = default;
};

// A heard exchange in the logger's terms.
struct ExchangeDescription {
    // The first register, or the record of a file record.
    std::optional<int> reg;
    // Registers, or the length of the record.
    std::optional<int> count;
    // The 16-bit values read, or written whether or not the write was answered.
    QList<int> registers;
    // "total pulses, inputs 1–8", "pulse constants", "clock", "lock", "noise, 5 bytes", ...
    QString what;
    // For a known block, each value taken apart as the window's decoders take it apart: read
    // values only from an accepted reply, written ones from the request.
    QList<ExchangeValue> values;
};

ExchangeDescription describeExchange(const HeardExchange &exchange);

} // namespace corvane
