#include "frames.h"

#include "crc16.h"
#include "function_codes.h"

namespace corvane {
namespace {

void appendByte(QByteArray &frame, int value) {
    frame.append(static_cast<char>(value & 0xFF));
}

void appendWord(QByteArray &frame, int value) {
    appendByte(frame, value >> 8);
    appendByte(frame, value);
}

QByteArray header(int slave, FunctionCode function) {
    QByteArray frame;
    frame.reserve(kMaxFrameLength);
    appendByte(frame, slave);
    appendByte(frame, code(function));
    return frame;
}

QByteArray closed(QByteArray frame) {
    appendCrc(frame);
    return frame;
}

QByteArray registerRequest(int slave, FunctionCode function, int start, int count) {
    QByteArray frame = header(slave, function);
    appendWord(frame, start);
    appendWord(frame, count);
    return closed(frame);
}

// The data area of a block write is exactly byteCount long whatever the payload holds.
QByteArray fitted(const QByteArray &payload, int byteCount) {
    QByteArray data = payload.left(byteCount);
    if (data.size() < byteCount)
        data.append(QByteArray(byteCount - data.size(), '\0'));
    return data;
}

} // namespace

QByteArray readHoldingFrame(int slave, int start, int count) {
    return registerRequest(slave, FunctionCode::ReadHoldingRegisters, start, count);
}

QByteArray readInputFrame(int slave, int start, int count) {
    return registerRequest(slave, FunctionCode::ReadInputRegisters, start, count);
}

QByteArray writeSingleFrame(int slave, int reg, int value, int placement) {
    int word = 0;
    if (placement == 1)
        word = value & 0xFF;
    else if (placement == 2)
        word = (value & 0xFF) << 8;
    return registerRequest(slave, FunctionCode::WriteSingleRegister, reg, word);
}

QByteArray writeMultipleFrame(int slave, int start, int count, const QByteArray &payload) {
    if (count < 1 || count > 16)
        return {};
    QByteArray frame = header(slave, FunctionCode::WriteMultipleRegisters);
    appendWord(frame, start);
    appendWord(frame, count);
    appendByte(frame, 2 * count);
    frame.append(fitted(payload, 2 * count));
    return closed(frame);
}

QByteArray clockFrame(int slave, const QByteArray &payload) {
    return writeMultipleFrame(slave, 0x8012, 2, payload);
}

QByteArray readFileRecordFrame(int slave, int file, int record, int length) {
    QByteArray frame = header(slave, FunctionCode::ReadFileRecord);
    appendByte(frame, 0x07);
    appendByte(frame, 0x06);
    appendWord(frame, file);
    appendWord(frame, record);
    appendWord(frame, length);
    return closed(frame);
}

QByteArray writeFileRecordFrame(int slave, int file, int record, const QByteArray &recordBytes) {
    const int size = int(recordBytes.size());
    if (size < 2 || size > 12 || size % 2 != 0)
        return {};
    QByteArray frame = header(slave, FunctionCode::WriteFileRecord);
    appendByte(frame, 7 + size);
    appendByte(frame, 0x06);
    appendWord(frame, file);
    appendWord(frame, record);
    appendWord(frame, size / 2);
    frame.append(recordBytes);
    return closed(frame);
}

QByteArray readDeviceIdFrame(int slave, int code) {
    QByteArray frame = header(slave, FunctionCode::EncapsulatedInterface);
    appendByte(frame, 0x0E);
    appendByte(frame, code);
    appendByte(frame, 0x00);
    return closed(frame);
}

QByteArray serviceQueryFrame(int slave, int subCode) {
    QByteArray frame = header(slave, FunctionCode::LoggerService);
    appendByte(frame, subCode);
    appendByte(frame, 0x00);
    return closed(frame);
}

QByteArray serviceCommandFrame(int slave, int subCode, const QByteArray &data) {
    QByteArray frame = header(slave, FunctionCode::LoggerService);
    appendByte(frame, subCode);
    const QByteArray limited = data.left(4);
    appendByte(frame, int(limited.size()));
    frame.append(limited);
    return closed(frame);
}

} // namespace corvane
