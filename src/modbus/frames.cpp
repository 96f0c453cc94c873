#include "frames.h"

#include "crc16.h"

#include <iterator>
#include <stdexcept>

namespace corvane {
namespace {

void appendByte(QByteArray &frame, int value) {
    frame.append(static_cast<char>(value & 0xFF));
}

void appendWord(QByteArray &frame, int value) {
    appendByte(frame, value >> 8);
    appendByte(frame, value);
}

QByteArray header(int slave, int function) {
    QByteArray frame;
    frame.reserve(kMaxFrameLength);
    appendByte(frame, slave);
    appendByte(frame, function);
    return frame;
}

QByteArray closed(QByteArray frame) {
    appendCrc(frame);
    return frame;
}

QByteArray registerRequest(int slave, int function, int start, int count) {
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

int parityCode(const QString &text) {
    if (text == QLatin1String("Even"))
        return 0;
    if (text == QLatin1String("Odd"))
        return 1;
    if (text == QLatin1String("None"))
        return 2;
    return -1;
}

int speedCode(const QString &text) {
    static const char *const kSpeeds[] = {"300", "1200", "2400", "4800", "9600", "19200", "38400"};
    for (int code = 0; code < int(std::size(kSpeeds)); ++code) {
        if (text == QLatin1String(kSpeeds[code]))
            return code;
    }
    return -1;
}

int decimalDigit(QChar ch) {
    return ch >= QLatin1Char('0') && ch <= QLatin1Char('9') ? ch.unicode() - '0' : -1;
}

QByteArray packedDeviceId(const QString &id) {
    const auto invalid = [&id] {
        return std::invalid_argument("'" + id.toStdString() + "' is not a valid device ID");
    };
    if (id.size() != 8)
        throw invalid();
    QByteArray data;
    for (int i = 0; i < 8; i += 2) {
        const int high = decimalDigit(id.at(i));
        const int low = decimalDigit(id.at(i + 1));
        if (high < 0 || low < 0)
            throw invalid();
        appendByte(data, high << 4 | low);
    }
    return data;
}

QByteArray menuCode(const QString &code) {
    if (code.size() < 4)
        throw std::invalid_argument("'" + code.toStdString() + "' is not a valid menu access code");
    return code.left(4).toLatin1();
}

} // namespace

QByteArray readHoldingFrame(int slave, int start, int count) {
    return registerRequest(slave, 0x03, start, count);
}

QByteArray readInputFrame(int slave, int start, int count) {
    return registerRequest(slave, 0x04, start, count);
}

QByteArray writeSingleFrame(int slave, int reg, int value, int placement) {
    int word = 0;
    if (placement == 1)
        word = value & 0xFF;
    else if (placement == 2)
        word = (value & 0xFF) << 8;
    return registerRequest(slave, 0x06, reg, word);
}

bool writeMultipleCountAllowed(int count, const QString &deviceType) {
    switch (count) {
    case 4:
    case 6:
    case 12:
    case 16:
        return true;
    case 8:
        return deviceType == QLatin1String("QTR-8D") || deviceType == QLatin1String("QTR-4D");
    default:
        return false;
    }
}

QByteArray writeMultipleFrame(int slave, int start, int count, const QByteArray &payload) {
    if (count < 1 || count > 16)
        return {};
    QByteArray frame = header(slave, 0x10);
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
    QByteArray frame = header(slave, 0x14);
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
    QByteArray frame = header(slave, 0x15);
    appendByte(frame, 7 + size);
    appendByte(frame, 0x06);
    appendWord(frame, file);
    appendWord(frame, record);
    appendWord(frame, size / 2);
    frame.append(recordBytes);
    return closed(frame);
}

QByteArray readDeviceIdFrame(int slave, int code) {
    QByteArray frame = header(slave, 0x2B);
    appendByte(frame, 0x0E);
    appendByte(frame, code);
    appendByte(frame, 0x00);
    return closed(frame);
}

QByteArray serviceQueryFrame(int slave, int subCode) {
    QByteArray frame = header(slave, 0x47);
    appendByte(frame, subCode);
    appendByte(frame, 0x00);
    return closed(frame);
}

QByteArray serviceCommandFrame(int slave, int subCode, const QByteArray &data) {
    QByteArray frame = header(slave, 0x47);
    appendByte(frame, subCode);
    const QByteArray limited = data.left(4);
    appendByte(frame, int(limited.size()));
    frame.append(limited);
    return closed(frame);
}

int serviceSubCode(int kind) {
    switch (kind) {
    case 1:
        return 0x00;
    case 2:
        return 0x01;
    case 3:
        return 0x03;
    case 4:
        return 0x19;
    case 5:
        return 0x2A;
    case 6:
        return 0x05;
    case 7:
        return 0x32;
    default:
        return -1;
    }
}

ServiceCommandPlan serviceCommandPlan(int kind, const ServiceControls &controls, int address) {
    ServiceCommandPlan plan;
    const QString device = QString::number(address);
    switch (kind) {
    case 1:
        plan.data = packedDeviceId(controls.Edit_id);
        break;
    case 2: {
        // The parity text is looked at first, so a bad parity wins over a bad speed.
        const int parity = parityCode(controls.ComboBox2);
        if (parity < 0) {
            plan.rejection = QStringLiteral("Incorrect COM port parity selected, aborting...");
            return plan;
        }
        const int speed = speedCode(controls.ComboBox1);
        if (speed < 0) {
            plan.rejection = QStringLiteral("Incorrect COM port speed selected, aborting...");
            return plan;
        }
        appendByte(plan.data, parity);
        appendByte(plan.data, speed);
        plan.logLine = QStringLiteral("Changing communication settings...");
        break;
    }
    case 3:
        plan.data = menuCode(controls.Edit1);
        plan.logLine = QStringLiteral("Changing user code for menu access...");
        break;
    case 4:
        appendByte(plan.data, 0x01);
        plan.logLine = QStringLiteral("Unlocking device ") + device + QStringLiteral("...");
        break;
    case 5: {
        const QString &inputs = controls.Combo_inputs;
        if (inputs == QLatin1String("4"))
            appendByte(plan.data, 0xAA);
        else if (inputs == QLatin1String("6"))
            appendByte(plan.data, 0xBA);
        else if (inputs == QLatin1String("8"))
            appendByte(plan.data, 0xCA);
        else {
            plan.rejection = QStringLiteral("Incorrect number of inputs selected...");
            return plan;
        }
        plan.logLine = QStringLiteral("Changing number of pulse inputs for device ") + device +
                       QStringLiteral("...");
        break;
    }
    case 6:
        appendByte(plan.data, 0x55);
        plan.logLine = QStringLiteral("Locking device ") + device + QStringLiteral("...");
        break;
    case 7:
        appendByte(plan.data, controls.Combo_polarity == QLatin1String("Negative") ? 0x01 : 0x00);
        plan.logLine = QStringLiteral("Changing polarity of pulse inputs for devie ") + device +
                       QStringLiteral("...");
        break;
    default:
        return plan;
    }
    plan.send = true;
    return plan;
}

} // namespace corvane
