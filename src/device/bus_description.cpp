#include "bus_description.h"

#include "device_model.h"
#include "function_codes.h"
#include "modbus_reply.h"
#include "readings.h"
#include "register_map.h"
#include "reply_values.h"
#include "table_rows.h"
#include "value_encoding.h"

#include <QLocale>

#include <algorithm>

namespace corvane {
namespace {

using Verdict = HeardExchange::Verdict;

constexpr int kCrcLength = 2;
constexpr int kWordBytes = 2;

// How a block's values read.
enum class Values {
    Units,
    Numbers,
    Tariffs,
    Counts,
    Tenths,
    Flow,
    Clock,
    PulseSettings,
    BusAddress,
    InputsShown,
    Battery,
    InputStatus
};

struct Block {
    int function; // 0x03 for the holding registers, whatever writes them; 0x04 the input ones
    std::uint16_t start;
    // Registers per input; 0 for a block of one fixed size.
    int perInput;
    // A fixed block's registers; 0 for any count up to one per input.
    int size;
    QString name;
    Values values;
};

constexpr int kHolding = code(FunctionCode::ReadHoldingRegisters);
constexpr int kInput = code(FunctionCode::ReadInputRegisters);

const QList<Block> &blocks() {
    static const QList<Block> all = [] {
        QList<Block> b{
            {kHolding, kRegUnits, 1, 0, QStringLiteral("units"), Values::Units},
            {kHolding, kRegPulseConstant, 1, 0, QStringLiteral("pulse constants"), Values::Numbers},
            {kHolding, kRegPulseLengthLanguage, 0, 1, QStringLiteral("pulse length and language"),
             Values::PulseSettings},
            {kHolding, kRegBusAddress, 0, 1, QStringLiteral("bus address"), Values::BusAddress},
            {kHolding, kRegClock, 0, kClockRegisterCount, QStringLiteral("clock"), Values::Clock},
            {kHolding, kRegInputsDisplay, 0, 1, QStringLiteral("inputs shown"),
             Values::InputsShown},
            {kHolding, kRegUserNumber, 1, 0, QStringLiteral("user numbers"), Values::Numbers},
            {kHolding, kRegInitialValue, 2, 0, QStringLiteral("initial values"), Values::Tenths},
            {kInput, kInRegTotalPulses, 2, 0, QStringLiteral("total pulses"), Values::Counts},
            {kInput, kInRegConsumption, 2, 0, QStringLiteral("total consumption"), Values::Tenths},
            {kInput, kInRegFlow, 2, 0, QStringLiteral("flow"), Values::Flow},
            {kInput, kInRegBattery, 0, kBatteryRegisterCount, QStringLiteral("battery"),
             Values::Battery},
            {kInput, kInRegInputStatus, 0, 0, QStringLiteral("input status"), Values::InputStatus},
        };
        for (int tariff = 1; tariff <= kTariffs; ++tariff) {
            const auto i = std::size_t(tariff - 1);
            b << Block{kHolding,
                       kRegTariffs[i],
                       1,
                       0,
                       QStringLiteral("tariff %1 windows").arg(tariff),
                       Values::Tariffs}
              << Block{kHolding,
                       kRegTariffInitialValues[i],
                       2,
                       0,
                       QStringLiteral("tariff %1 initial values").arg(tariff),
                       Values::Tenths}
              << Block{kInput,
                       kInRegTariffPulses[i],
                       2,
                       0,
                       QStringLiteral("tariff %1 pulses").arg(tariff),
                       Values::Counts};
        }
        return b;
    }();
    return all;
}

// The block that holds registers [reg, reg + count), and the first input they cover (0 for a
// fixed block); nothing when they lie elsewhere or not on an input's boundary.
struct Place {
    const Block *block = nullptr;
    int firstInput = 0;
    int inputs = 0;
};

Place placeOf(int function, int reg, int count) {
    for (const Block &block : blocks()) {
        if (block.function != function)
            continue;
        if (block.perInput == 0) {
            const bool fits =
                block.size == 0 ? count >= 1 && count <= kMaxInputs : count == block.size;
            if (reg == block.start && fits)
                return {&block, 0, 0};
            continue;
        }
        const int offset = reg - block.start;
        const int span = kMaxInputs * block.perInput;
        if (offset < 0 || offset >= span)
            continue;
        if (count < 1 || offset % block.perInput != 0 || count % block.perInput != 0 ||
            offset + count > span)
            return {};
        return {&block, offset / block.perInput + 1, count / block.perInput};
    }
    return {};
}

// "0x8000", "0x0F".
QString hexText(int value, int digits) {
    return QStringLiteral("0x") + QString::number(value, 16).rightJustified(digits, u'0').toUpper();
}

QString hex16(int value) {
    return hexText(value, 4);
}

QString whatOf(int function, int reg, int count) {
    const Place place = placeOf(function, reg, count);
    if (!place.block) {
        const QString kind = function == kInput ? QStringLiteral("input registers")
                                                : QStringLiteral("holding registers");
        return count > 1 ? QStringLiteral("%1 %2–%3").arg(kind, hex16(reg), hex16(reg + count - 1))
                         : QStringLiteral("%1 %2").arg(kind, hex16(reg));
    }
    if (place.inputs == 0)
        return place.block->name;
    const int last = place.firstInput + place.inputs - 1;
    if (place.inputs == 1)
        return QStringLiteral("%1, input %2").arg(place.block->name).arg(place.firstInput);
    return QStringLiteral("%1, inputs %2–%3")
        .arg(place.block->name)
        .arg(place.firstInput)
        .arg(last);
}

int byteAt(const QByteArray &frame, int position) {
    return position < frame.size() ? static_cast<std::uint8_t>(frame.at(position)) : 0;
}

int wordAt(const QByteArray &frame, int position) {
    return byteAt(frame, position) << 8 | byteAt(frame, position + 1);
}

// A checked frame taken apart as the decoders take a reply: the bytes between the function code
// and the CRC.
ModbusReply replyOf(const QByteArray &frame) {
    ModbusReply reply;
    reply.address = std::uint8_t(byteAt(frame, 0));
    reply.function = std::uint8_t(byteAt(frame, 1));
    if (frame.size() > ModbusReply::kPayloadPosition + kCrcLength)
        reply.payload = frame.mid(ModbusReply::kPayloadPosition,
                                  frame.size() - ModbusReply::kPayloadPosition - kCrcLength);
    return reply;
}

// Data written to a block, laid out as the read of that block answers with it: a byte count,
// then the registers. So the read's decoders take apart what was written.
ModbusReply writtenAsRead(int address, const QByteArray &data) {
    ModbusReply reply;
    reply.address = std::uint8_t(address);
    reply.function = std::uint8_t(kHolding);
    reply.payload = QByteArray(1, char(data.size() & 0xFF)) + data;
    return reply;
}

// The 16-bit words of a frame's payload from position `from` on, up to `limit` bytes.
QList<int> wordsOf(const ModbusReply &frame, int from, int limit) {
    QList<int> words;
    const int end = std::min(frame.end(), from + limit);
    for (int position = from; position + 1 < end; position += kWordBytes)
        words << (frame.at(position) << 8 | frame.at(position + 1));
    return words;
}

QString inputName(int input) {
    return QString::number(input);
}

void addValues(const Place &place, const ModbusReply &data, QList<ExchangeValue> &into) {
    const QLocale c = QLocale::c();
    const auto perInput = [&](const auto &values, const auto &describe) {
        for (qsizetype i = 0; i < values.size() && i < place.inputs; ++i)
            into << describe(place.firstInput + int(i), values.at(i));
    };
    switch (place.block->values) {
    case Values::Units:
        perInput(wordValues(data), [](int input, int v) {
            return ExchangeValue{inputName(input), unitText(v), std::nullopt};
        });
        break;
    case Values::Numbers:
        perInput(wordValues(data), [](int input, int v) {
            return ExchangeValue{inputName(input), QString::number(v), double(v)};
        });
        break;
    case Values::Tariffs:
        perInput(tariffWindows(data), [](int input, const TariffWindow &w) {
            return ExchangeValue{
                inputName(input),
                QStringLiteral("start %1, duration %2").arg(w.startHour).arg(w.duration),
                std::nullopt};
        });
        break;
    case Values::Counts:
        perInput(longValues(data), [](int input, std::int32_t v) {
            return ExchangeValue{inputName(input), QString::number(v), double(v)};
        });
        break;
    case Values::Tenths:
    case Values::Flow: {
        const QString unit =
            place.block->values == Values::Flow ? QStringLiteral(" l/s") : QString();
        perInput(longValues(data), [&](int input, std::int32_t v) {
            return ExchangeValue{inputName(input), formatTenths(v, c) + unit, double(v) / 10.0};
        });
        break;
    }
    case Values::Clock:
        if (const auto clock = clockValue(data))
            into << ExchangeValue{QStringLiteral("clock"),
                                  clock->timeText() + QLatin1Char(' ') + clock->dateText(),
                                  std::nullopt};
        break;
    case Values::PulseSettings:
        if (const auto settings = pulseSettingsValue(data)) {
            into << ExchangeValue{QStringLiteral("pulse length"), settings->lengthText(),
                                  double(settings->lengthMs)}
                 << ExchangeValue{QStringLiteral("language"), settings->languageName(),
                                  std::nullopt};
        }
        break;
    case Values::BusAddress:
    case Values::InputsShown:
    case Values::InputStatus:
    case Values::Battery:
        if (const auto low = firstRegisterLowByte(data)) {
            if (place.block->values == Values::Battery)
                into << ExchangeValue{QStringLiteral("battery"), formatBatteryLevel(*low, c),
                                      c.toDouble(formatBatteryLevel(*low, c))};
            else if (place.block->values == Values::InputStatus)
                into << ExchangeValue{QStringLiteral("inputs"), hexText(*low, 2), double(*low)};
            else
                into << ExchangeValue{place.block->values == Values::BusAddress
                                          ? QStringLiteral("address")
                                          : QStringLiteral("inputs"),
                                      QString::number(*low), double(*low)};
        }
        break;
    }
}

QString serviceName(int subCode) {
    switch (subCode) {
    case kServiceSetId:
        return QStringLiteral("set device ID");
    case kServiceSetLineSettings:
        return QStringLiteral("set line speed and parity");
    case kServiceReadMenuCode:
        return QStringLiteral("read menu access code");
    case kServiceSetMenuCode:
        return QStringLiteral("set menu access code");
    case kServiceStatusQuery:
        return QStringLiteral("status query");
    case kServiceLock:
        return QStringLiteral("lock");
    case kServiceUnlock:
        return QStringLiteral("unlock");
    case kServiceSetInputCount:
        return QStringLiteral("set number of inputs");
    case kServiceSetPolarity:
        return QStringLiteral("set input polarity");
    default:
        return QStringLiteral("service command %1").arg(subCode);
    }
}

QString functionName(int function) {
    switch (function) {
    case code(FunctionCode::ReadHoldingRegisters):
    case code(FunctionCode::WriteSingleRegister):
    case code(FunctionCode::WriteMultipleRegisters):
        return QStringLiteral("holding registers");
    case code(FunctionCode::ReadInputRegisters):
        return QStringLiteral("input registers");
    case code(FunctionCode::ReadFileRecord):
    case code(FunctionCode::WriteFileRecord):
        return QStringLiteral("file record");
    case code(FunctionCode::EncapsulatedInterface):
        return QStringLiteral("device identification");
    default:
        return QStringLiteral("function ") + hexText(function, 2);
    }
}

QString recordName(int file, int record) {
    if (file == kFreeTextFile && record >= 0 && record < kMaxInputs)
        return QStringLiteral("free text, input %1").arg(record + 1);
    return QStringLiteral("file %1, record %2").arg(file).arg(record);
}

// File record requests: addr, function, byte count, reference type, file, record, length.
constexpr int kRecordFile = 4;
constexpr int kRecordNumber = 6;
constexpr int kRecordLength = 8;
constexpr int kRecordData = 10;
// A file record read's reply: byte count, record length, reference type, then the record.
constexpr int kRecordReplyData = 5;

void describeRegisters(const HeardExchange &exchange, ExchangeDescription &d) {
    const QByteArray &q = exchange.request;
    const int function = byteAt(q, 1);
    const bool read = function == kHolding || function == kInput;
    const int reg = wordAt(q, 2);
    const int count = function == code(FunctionCode::WriteSingleRegister) ? 1 : wordAt(q, 4);
    d.reg = reg;
    d.count = count;
    d.what = whatOf(read ? function : kHolding, reg, count);
    const Place place = placeOf(read ? function : kHolding, reg, count);
    if (read) {
        if (exchange.verdict != Verdict::Ok)
            return;
        const ModbusReply reply = replyOf(exchange.reply);
        d.registers = wordsOf(reply, 3, reply.has(2) ? reply.at(2) : 0);
        if (place.block)
            addValues(place, reply, d.values);
        return;
    }
    // Function 0x10: start, count, byte count at 6, the data; 0x06: the one value at 4.
    const QByteArray data = function == code(FunctionCode::WriteSingleRegister)
                                ? q.mid(4, kWordBytes)
                                : q.mid(7, std::clamp<qsizetype>(q.size() - 9, 0, byteAt(q, 6)));
    const ModbusReply written = writtenAsRead(byteAt(q, 0), data);
    d.registers = wordsOf(written, 3, int(data.size()));
    if (place.block)
        addValues(place, written, d.values);
}

void describeFileRecord(const HeardExchange &exchange, ExchangeDescription &d) {
    const QByteArray &q = exchange.request;
    const int file = wordAt(q, kRecordFile);
    const int record = wordAt(q, kRecordNumber);
    const int length = wordAt(q, kRecordLength);
    d.reg = record;
    d.count = length;
    d.what = recordName(file, record);
    const bool freeText = file == kFreeTextFile && record >= 0 && record < kMaxInputs;
    if (byteAt(q, 1) == code(FunctionCode::ReadFileRecord)) {
        if (exchange.verdict != Verdict::Ok)
            return;
        const ModbusReply reply = replyOf(exchange.reply);
        d.registers = wordsOf(reply, kRecordReplyData, 2 * length);
        if (freeText) {
            if (const auto text = freeTextValue(reply))
                d.values << ExchangeValue{inputName(record + 1), *text, std::nullopt};
        }
        return;
    }
    const QByteArray data = q.mid(
        kRecordData, std::clamp<qsizetype>(q.size() - kRecordData - kCrcLength, 0, 2 * length));
    // Laid out as the read of the record answers with it: the record's length in registers
    // where the read has its reference type.
    ModbusReply written;
    written.address = std::uint8_t(byteAt(q, 0));
    written.function = std::uint8_t(code(FunctionCode::ReadFileRecord));
    written.payload = QByteArray(2, '\0') + QByteArray(1, char(length & 0xFF)) + data;
    d.registers = wordsOf(written, kRecordReplyData, int(data.size()));
    if (freeText) {
        if (const auto text = freeTextValue(written))
            d.values << ExchangeValue{inputName(record + 1), *text, std::nullopt};
    }
}

// What a reply alone tells, when its request was not heard: a write's echo names its
// registers, a service reply its sub-code.
void describeStray(const HeardExchange &exchange, ExchangeDescription &d) {
    const QByteArray &r = exchange.reply;
    const int function = byteAt(r, 1);
    if (function & kExceptionFlag) {
        d.what = functionName(function & ~kExceptionFlag);
        return;
    }
    const ModbusReply reply = replyOf(r);
    switch (function) {
    case code(FunctionCode::WriteSingleRegister):
    case code(FunctionCode::WriteMultipleRegisters): {
        const int count = function == code(FunctionCode::WriteSingleRegister) ? 1 : wordAt(r, 4);
        d.reg = wordAt(r, 2);
        d.count = count;
        d.what = whatOf(kHolding, *d.reg, count);
        return;
    }
    case code(FunctionCode::ReadHoldingRegisters):
    case code(FunctionCode::ReadInputRegisters):
        d.registers = wordsOf(reply, 3, reply.has(2) ? reply.at(2) : 0);
        break;
    case code(FunctionCode::LoggerService):
        d.what = serviceName(byteAt(r, 2));
        return;
    default:
        break;
    }
    d.what = functionName(function);
}

} // namespace

ExchangeDescription describeExchange(const HeardExchange &exchange) {
    ExchangeDescription d;
    if (exchange.verdict == Verdict::Noise) {
        const auto length = exchange.reply.size();
        d.what = length == 1 ? QStringLiteral("noise, 1 byte")
                             : QStringLiteral("noise, %1 bytes").arg(length);
        return d;
    }
    if (exchange.request.isEmpty()) {
        describeStray(exchange, d);
        return d;
    }
    const QByteArray &q = exchange.request;
    const int function = byteAt(q, 1);
    switch (function) {
    case code(FunctionCode::ReadHoldingRegisters):
    case code(FunctionCode::ReadInputRegisters):
    case code(FunctionCode::WriteSingleRegister):
    case code(FunctionCode::WriteMultipleRegisters):
        describeRegisters(exchange, d);
        break;
    case code(FunctionCode::ReadFileRecord):
    case code(FunctionCode::WriteFileRecord):
        describeFileRecord(exchange, d);
        break;
    case code(FunctionCode::EncapsulatedInterface):
        d.what = functionName(function);
        if (exchange.verdict == Verdict::Ok) {
            const QString text = identificationText(replyOf(exchange.reply));
            d.values << ExchangeValue{QStringLiteral("identification"), text, std::nullopt};
            if (const QString model = recognizeModel(text); !model.isEmpty())
                d.values << ExchangeValue{QStringLiteral("model"), model, std::nullopt};
        }
        break;
    case code(FunctionCode::LoggerService):
        d.what = serviceName(byteAt(q, 2));
        if (exchange.verdict == Verdict::Ok && byteAt(q, 2) == kServiceReadMenuCode) {
            if (const auto menuCode = menuCodeValue(replyOf(exchange.reply)))
                d.values << ExchangeValue{QStringLiteral("menu code"), *menuCode, std::nullopt};
        }
        break;
    default:
        d.what = functionName(function);
        break;
    }
    return d;
}

} // namespace corvane
