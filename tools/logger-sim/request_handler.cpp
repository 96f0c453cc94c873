#include "request_handler.h"

#include "crc16.h"
#include "logger_model.h"

#include <QList>

#include <utility>

namespace corvane {
namespace {

constexpr int kMaxReadRegisters = 125;
constexpr int kMaxWriteRegisters = 123;
constexpr int kFreeTextFile = 10;
constexpr int kFileReferenceType = 6;
constexpr int kMaxRecordRegisters = kRecordBytes / 2;
constexpr int kDeviceIdentification = 0x0E;
constexpr int kConformityLevel = 0x82; // regular identification, stream and single objects

int byteAt(const QByteArray &frame, int index) {
    return static_cast<std::uint8_t>(frame.at(index));
}

int wordAt(const QByteArray &frame, int index) {
    return (byteAt(frame, index) << 8) | byteAt(frame, index + 1);
}

void appendWord(QByteArray &bytes, int value) {
    bytes.append(static_cast<char>((value >> 8) & 0xFF));
    bytes.append(static_cast<char>(value & 0xFF));
}

QByteArray withCrc(QByteArray frame) {
    appendCrc(frame);
    return frame;
}

QByteArray header(int address, int function) {
    QByteArray bytes;
    bytes.append(static_cast<char>(address));
    bytes.append(static_cast<char>(function));
    return bytes;
}

// The frame without its CRC, so that length tests below speak of the request itself.
class Request {
public:
    explicit Request(const QByteArray &frame)
        : m_body(frame.size() >= 2 ? frame.left(frame.size() - 2) : QByteArray()) {}
    int size() const { return static_cast<int>(m_body.size()); }
    int address() const { return byteAt(m_body, 0); }
    int function() const { return byteAt(m_body, 1); }
    int byte(int index) const { return byteAt(m_body, index); }
    int word(int index) const { return wordAt(m_body, index); }
    const QByteArray &body() const { return m_body; }

private:
    QByteArray m_body;
};

QByteArray refuse(const Request &request, int code) {
    return exceptionReply(request.address(), request.function(), code);
}

QByteArray readRegisters(const Request &request, const LoggerModel &logger) {
    if (request.size() != 6)
        return refuse(request, ExceptionCode::IllegalDataValue);
    const int start = request.word(2);
    const int count = request.word(4);
    if (count < 1 || count > kMaxReadRegisters)
        return refuse(request, ExceptionCode::IllegalDataValue);
    QByteArray reply = header(request.address(), request.function());
    reply.append(static_cast<char>(2 * count));
    for (int reg = start; reg < start + count; ++reg) {
        const auto value = request.function() == code(FunctionCode::ReadHoldingRegisters)
                               ? logger.holdingRegister(reg)
                               : logger.inputRegister(reg);
        if (!value)
            return refuse(request, ExceptionCode::IllegalDataAddress);
        appendWord(reply, *value);
    }
    return withCrc(reply);
}

// Checks and stores a block of holding registers; 0 or the exception code.
int writeBlock(LoggerModel &logger, int start, const QList<std::uint16_t> &values,
               const AddressTaken &addressTaken) {
    if (const int refusal = logger.checkHoldingWrite(start, values))
        return refusal;
    const int addressIndex = HoldingRegister::BusAddress - start;
    if (addressIndex >= 0 && addressIndex < values.size()) {
        // Two loggers at one address would answer together and garble every reply; the
        // logger cannot know of the other, but the simulated line does, so it refuses.
        const int newAddress = values[addressIndex];
        if (newAddress != logger.address() && addressTaken && addressTaken(newAddress))
            return ExceptionCode::IllegalDataValue;
    }
    logger.writeHoldingRegisters(start, values);
    return 0;
}

QByteArray writeSingle(const Request &request, LoggerModel &logger,
                       const AddressTaken &addressTaken) {
    if (request.size() != 6)
        return refuse(request, ExceptionCode::IllegalDataValue);
    const QByteArray echo = withCrc(request.body());
    if (const int refusal =
            writeBlock(logger, request.word(2), {std::uint16_t(request.word(4))}, addressTaken))
        return refuse(request, refusal);
    return echo;
}

QByteArray writeMultiple(const Request &request, LoggerModel &logger,
                         const AddressTaken &addressTaken) {
    if (request.size() < 7)
        return refuse(request, ExceptionCode::IllegalDataValue);
    const int start = request.word(2);
    const int count = request.word(4);
    const int byteCount = request.byte(6);
    if (count < 1 || count > kMaxWriteRegisters || byteCount != 2 * count ||
        request.size() != 7 + byteCount)
        return refuse(request, ExceptionCode::IllegalDataValue);
    QList<std::uint16_t> values;
    for (int i = 0; i < count; ++i)
        values.append(static_cast<std::uint16_t>(request.word(7 + 2 * i)));
    if (const int refusal = writeBlock(logger, start, values, addressTaken))
        return refuse(request, refusal);
    return withCrc(request.body().left(6));
}

struct FileSubRequest {
    int referenceType;
    int file;
    int record;
    int length;
    QByteArray data;
};

// Splits the sub-requests of 0x14 (no data) or 0x15 (with data); nullopt when the byte count
// and the sub-requests do not fit together.
std::optional<QList<FileSubRequest>> fileSubRequests(const Request &request, bool withData) {
    if (request.size() < 3 || request.size() != 3 + request.byte(2))
        return std::nullopt;
    QList<FileSubRequest> subRequests;
    int pos = 3;
    while (pos < request.size()) {
        if (pos + 7 > request.size())
            return std::nullopt;
        FileSubRequest sub{request.byte(pos),
                           request.word(pos + 1),
                           request.word(pos + 3),
                           request.word(pos + 5),
                           {}};
        pos += 7;
        if (withData) {
            if (pos + 2 * sub.length > request.size())
                return std::nullopt;
            sub.data = request.body().mid(pos, 2 * sub.length);
            pos += 2 * sub.length;
        }
        subRequests.append(sub);
    }
    if (subRequests.isEmpty())
        return std::nullopt;
    return subRequests;
}

bool recordExists(const LoggerModel &logger, const FileSubRequest &sub) {
    return sub.referenceType == kFileReferenceType && sub.file == kFreeTextFile &&
           sub.record < logger.recordCount() && sub.length >= 1 &&
           sub.length <= kMaxRecordRegisters;
}

// Standard layout: address, 0x14, response data length, then for each sub-request its length
// (1 + record bytes), the reference type 6 and the record bytes.
QByteArray readFileRecord(const Request &request, const LoggerModel &logger) {
    const auto subRequests = fileSubRequests(request, false);
    if (!subRequests)
        return refuse(request, ExceptionCode::IllegalDataValue);
    QByteArray data;
    for (const FileSubRequest &sub : *subRequests) {
        if (!recordExists(logger, sub))
            return refuse(request, ExceptionCode::IllegalDataAddress);
        data.append(static_cast<char>(1 + 2 * sub.length));
        data.append(static_cast<char>(kFileReferenceType));
        data.append(logger.record(sub.record).left(2 * sub.length));
    }
    if (data.size() > 0xF5)
        return refuse(request, ExceptionCode::IllegalDataValue);
    QByteArray reply = header(request.address(), request.function());
    reply.append(static_cast<char>(data.size()));
    return withCrc(reply + data);
}

QByteArray writeFileRecord(const Request &request, LoggerModel &logger) {
    const auto subRequests = fileSubRequests(request, true);
    if (!subRequests)
        return refuse(request, ExceptionCode::IllegalDataValue);
    for (const FileSubRequest &sub : *subRequests) {
        if (!recordExists(logger, sub))
            return refuse(request, ExceptionCode::IllegalDataAddress);
    }
    for (const FileSubRequest &sub : *subRequests)
        logger.setRecord(sub.record, sub.data);
    return withCrc(request.body());
}

QList<std::pair<int, QByteArray>> identificationObjects(const LoggerModel &logger, int code) {
    const QByteArray model = modelName(logger.model()).toLatin1();
    QList<std::pair<int, QByteArray>> objects = {
        {0x00, QByteArrayLiteral("Logger simulator")},
        {0x01, model},
        {0x02, QByteArrayLiteral("V1.00")},
    };
    if (code != 1) {
        // The last object is not the model name: the master reads the text up to the byte
        // before the CRC only, and would lose the model's final letter.
        objects.append({0x04, QByteArrayLiteral("Pulse data logger")});
        objects.append({0x05, model});
        objects.append({0x06, QByteArrayLiteral("Pulse counter")});
    }
    return objects;
}

// address, 0x2B, 0x0E, code, conformity level, more follows 0, next object 0, object count,
// then each object as id, length, text.
QByteArray readDeviceId(const Request &request, const LoggerModel &logger) {
    if (request.size() < 3)
        return refuse(request, ExceptionCode::IllegalDataValue);
    if (request.byte(2) != kDeviceIdentification)
        return refuse(request, ExceptionCode::IllegalFunction);
    if (request.size() != 5)
        return refuse(request, ExceptionCode::IllegalDataValue);
    const int code = request.byte(3);
    const int objectId = request.byte(4);
    if (code < 1 || code > 4)
        return refuse(request, ExceptionCode::IllegalDataValue);
    QList<std::pair<int, QByteArray>> objects = identificationObjects(logger, code == 4 ? 2 : code);
    qsizetype first = 0;
    while (first < objects.size() && objects[first].first != objectId)
        ++first;
    if (first == objects.size()) {
        if (code == 4)
            return refuse(request, ExceptionCode::IllegalDataAddress);
        first = 0; // an unknown object restarts the stream at the first one
    }
    objects = code == 4 ? objects.mid(first, 1) : objects.mid(first);
    QByteArray reply = header(request.address(), request.function());
    reply.append(static_cast<char>(kDeviceIdentification));
    reply.append(static_cast<char>(code));
    reply.append(static_cast<char>(kConformityLevel));
    reply.append('\0');
    reply.append('\0');
    reply.append(static_cast<char>(objects.size()));
    for (const auto &[id, text] : objects) {
        reply.append(static_cast<char>(id));
        reply.append(static_cast<char>(text.size()));
        reply.append(text);
    }
    return withCrc(reply);
}

bool validBcd(const QByteArray &bytes) {
    for (char byte : bytes) {
        const int value = static_cast<std::uint8_t>(byte);
        if ((value >> 4) > 9 || (value & 0x0F) > 9)
            return false;
    }
    return true;
}

QString bcdDigits(const QByteArray &bytes) {
    QString digits;
    for (char byte : bytes) {
        const int value = static_cast<std::uint8_t>(byte);
        digits += QChar('0' + (value >> 4));
        digits += QChar('0' + (value & 0x0F));
    }
    return digits;
}

bool allDigits(const QByteArray &bytes) {
    for (char byte : bytes) {
        if (byte < '0' || byte > '9')
            return false;
    }
    return true;
}

int expectedServiceDataLength(int subCode) {
    switch (subCode) {
    case ServiceCode::SetId:
    case ServiceCode::SetMenuCode:
        return 4;
    case ServiceCode::SetLine:
        return 2;
    case ServiceCode::ReadMenuCode:
    case ServiceCode::Status:
        return 0;
    case ServiceCode::Lock:
    case ServiceCode::Unlock:
    case ServiceCode::SetInputs:
    case ServiceCode::SetPolarity:
        return 1;
    default:
        return -1;
    }
}

// address, 0x47, sub-code, data length, data, CRC. Commands are acknowledged with no data
// (address, 0x47, sub-code, 0x00, CRC). The menu-code query answers with the four characters;
// the status query with eight bytes: locked (0/1), number of inputs, polarity, parity code in
// the high and speed code in the low nibble, and the device ID as four BCD bytes.
QByteArray service(const Request &request, LoggerModel &logger) {
    if (request.size() < 4 || request.size() != 4 + request.byte(3))
        return refuse(request, ExceptionCode::IllegalDataValue);
    const int subCode = request.byte(2);
    const int expected = expectedServiceDataLength(subCode);
    if (expected < 0)
        return refuse(request, ExceptionCode::IllegalFunction);
    const QByteArray data = request.body().mid(4);
    if (data.size() != expected)
        return refuse(request, ExceptionCode::IllegalDataValue);
    const int first = expected > 0 ? static_cast<std::uint8_t>(data.at(0)) : 0;

    QByteArray answer;
    switch (subCode) {
    case ServiceCode::SetId:
        if (!validBcd(data))
            return refuse(request, ExceptionCode::IllegalDataValue);
        logger.setDeviceId(bcdDigits(data));
        break;
    case ServiceCode::SetLine: {
        const LineSettings settings{first, static_cast<std::uint8_t>(data.at(1))};
        if (settings.parityCode > 2 || settings.speedCode > 6)
            return refuse(request, ExceptionCode::IllegalDataValue);
        logger.setLineSettings(settings);
        break;
    }
    case ServiceCode::ReadMenuCode:
        answer = logger.menuCode().leftJustified(4, '0', true);
        break;
    case ServiceCode::SetMenuCode:
        if (!allDigits(data))
            return refuse(request, ExceptionCode::IllegalDataValue);
        logger.setMenuCode(data);
        break;
    case ServiceCode::Status:
        answer.append(static_cast<char>(logger.isLocked() ? 1 : 0));
        answer.append(static_cast<char>(logger.inputCount()));
        answer.append(static_cast<char>(logger.polarity()));
        answer.append(static_cast<char>((logger.lineSettings().parityCode << 4) |
                                        logger.lineSettings().speedCode));
        answer.append(
            QByteArray::fromHex(logger.deviceId().toLatin1()).leftJustified(4, '\0', true));
        break;
    case ServiceCode::Lock:
    case ServiceCode::Unlock:
        if (first != (subCode == ServiceCode::Lock ? 0x55 : 0x01))
            return refuse(request, ExceptionCode::IllegalDataValue);
        logger.setLocked(subCode == ServiceCode::Lock);
        break;
    case ServiceCode::SetInputs: {
        const int inputs = first == 0xAA ? 4 : first == 0xBA ? 6 : first == 0xCA ? 8 : 0;
        const auto model = modelWithInputs(inputs);
        if (!model)
            return refuse(request, ExceptionCode::IllegalDataValue);
        logger.setModel(*model);
        break;
    }
    case ServiceCode::SetPolarity:
        if (first > 1)
            return refuse(request, ExceptionCode::IllegalDataValue);
        logger.setPolarity(first);
        break;
    default:
        break;
    }
    QByteArray reply = request.body().left(3);
    reply.append(static_cast<char>(answer.size()));
    return withCrc(reply + answer);
}

} // namespace

QByteArray exceptionReply(int address, int function, int code) {
    QByteArray reply = header(address, function | 0x80);
    reply.append(static_cast<char>(code));
    return withCrc(reply);
}

QByteArray answerRequest(LoggerModel &logger, const QByteArray &frame,
                         const AddressTaken &addressTaken) {
    const Request request(frame);
    if (request.size() < 2)
        return {};
    switch (request.function()) {
    case code(FunctionCode::ReadHoldingRegisters):
    case code(FunctionCode::ReadInputRegisters):
        return readRegisters(request, logger);
    case code(FunctionCode::WriteSingleRegister):
        return writeSingle(request, logger, addressTaken);
    case code(FunctionCode::WriteMultipleRegisters):
        return writeMultiple(request, logger, addressTaken);
    case code(FunctionCode::ReadFileRecord):
        return readFileRecord(request, logger);
    case code(FunctionCode::WriteFileRecord):
        return writeFileRecord(request, logger);
    case code(FunctionCode::EncapsulatedInterface):
        return readDeviceId(request, logger);
    case code(FunctionCode::LoggerService):
        return service(request, logger);
    default:
        return refuse(request, ExceptionCode::IllegalFunction);
    }
}

} // namespace corvane
