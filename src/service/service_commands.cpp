#include "service_commands.h"

#include "modbus_reply.h"
#include "register_map.h"

#include <array>
#include <iterator>
#include <stdexcept>

namespace corvane {
namespace {

constexpr std::array<int, 7> kLineSpeeds{300, 1200, 2400, 4800, 9600, 19200, 38400};
// Parity codes of the logger: 0 even, 1 odd, 2 none.
constexpr std::array<const char *, 3> kParities{"Even", "Odd", "None"};
// The order a scan tries them in: the usual setting first.
constexpr std::array<int, 3> kScanParityOrder{2, 0, 1};

void appendTo(QByteArray &data, int value) {
    data.append(static_cast<char>(value & 0xFF));
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
    for (int code = 0; code < int(kLineSpeeds.size()); ++code) {
        if (text == QString::number(kLineSpeeds[std::size_t(code)]))
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
        appendTo(data, high << 4 | low);
    }
    return data;
}

QByteArray menuCode(const QString &code) {
    if (code.size() < 4)
        throw std::invalid_argument("'" + code.toStdString() + "' is not a valid menu access code");
    return code.left(4).toLatin1();
}

constexpr int kStatusSubCodePosition = 2;
constexpr int kStatusLengthPosition = 3;
constexpr int kStatusDataPosition = 4;
constexpr int kStatusDataLength = 8;

} // namespace

int serviceSubCode(ServiceCommand command) {
    switch (command) {
    case ServiceCommand::ChangeId:
        return kServiceSetId;
    case ServiceCommand::LineSettings:
        return kServiceSetLineSettings;
    case ServiceCommand::MenuCode:
        return kServiceSetMenuCode;
    case ServiceCommand::Unlock:
        return kServiceUnlock;
    case ServiceCommand::InputCount:
        return kServiceSetInputCount;
    case ServiceCommand::Lock:
        return kServiceLock;
    case ServiceCommand::Polarity:
        return kServiceSetPolarity;
    }
    return -1;
}

ServiceCommandPlan serviceCommandPlan(ServiceCommand command, const ServiceControls &controls,
                                      int address) {
    ServiceCommandPlan plan;
    const QString device = QString::number(address);
    switch (command) {
    case ServiceCommand::ChangeId:
        plan.data = packedDeviceId(controls.Edit_id);
        break;
    case ServiceCommand::LineSettings: {
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
        appendTo(plan.data, parity);
        appendTo(plan.data, speed);
        plan.logLine = QStringLiteral("Changing communication settings...");
        break;
    }
    case ServiceCommand::MenuCode:
        plan.data = menuCode(controls.Edit1);
        plan.logLine = QStringLiteral("Changing user code for menu access...");
        break;
    case ServiceCommand::Unlock:
        appendTo(plan.data, 0x01);
        plan.logLine = QStringLiteral("Unlocking device ") + device + QStringLiteral("...");
        break;
    case ServiceCommand::InputCount: {
        const QString &inputs = controls.Combo_inputs;
        if (inputs == QLatin1String("4"))
            appendTo(plan.data, 0xAA);
        else if (inputs == QLatin1String("6"))
            appendTo(plan.data, 0xBA);
        else if (inputs == QLatin1String("8"))
            appendTo(plan.data, 0xCA);
        else {
            plan.rejection = QStringLiteral("Incorrect number of inputs selected...");
            return plan;
        }
        plan.logLine = QStringLiteral("Changing number of pulse inputs for device ") + device +
                       QStringLiteral("...");
        break;
    }
    case ServiceCommand::Lock:
        appendTo(plan.data, 0x55);
        plan.logLine = QStringLiteral("Locking device ") + device + QStringLiteral("...");
        break;
    case ServiceCommand::Polarity:
        appendTo(plan.data, controls.Combo_polarity == QLatin1String("Negative") ? 0x01 : 0x00);
        plan.logLine = QStringLiteral("Changing polarity of pulse inputs for devie ") + device +
                       QStringLiteral("...");
        break;
    }
    plan.send = true;
    return plan;
}

QList<LineSetting> allLineSettings() {
    QList<LineSetting> settings;
    for (int speed : kLineSpeeds) {
        for (int parity : kScanParityOrder)
            settings.append({speed, QLatin1String(kParities[std::size_t(parity)])});
    }
    return settings;
}

std::optional<LineSetting> lineSettingFromCodes(int speedCode, int parityCode) {
    if (speedCode < 0 || speedCode >= int(kLineSpeeds.size()) || parityCode < 0 ||
        parityCode >= int(kParities.size()))
        return std::nullopt;
    return LineSetting{kLineSpeeds[std::size_t(speedCode)],
                       QLatin1String(kParities[std::size_t(parityCode)])};
}

std::optional<LoggerStatus> parseStatusReply(const ModbusReply &reply) {
    if (!reply.has(kStatusDataPosition + kStatusDataLength - 1) ||
        reply.at(kStatusSubCodePosition) != kServiceStatusQuery ||
        reply.at(kStatusLengthPosition) != kStatusDataLength)
        return std::nullopt;
    const auto byte = [&reply](int i) { return reply.at(kStatusDataPosition + i); };
    LoggerStatus status;
    status.locked = byte(0) != 0;
    status.inputs = byte(1);
    status.polarity = byte(2);
    status.line = lineSettingFromCodes(byte(3) & 0x0F, byte(3) >> 4);
    for (int i = 4; i < kStatusDataLength; ++i)
        status.deviceId += QStringLiteral("%1").arg(byte(i), 2, 16, QLatin1Char('0'));
    return status;
}

} // namespace corvane
