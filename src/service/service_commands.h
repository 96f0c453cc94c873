#pragma once

#include "register_map.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace corvane {

struct ModbusReply;

// The texts of the service page's controls that the service commands read.
struct ServiceControls {
    QString Edit_id;      // device ID, 8 decimal digits
    QString ComboBox1;    // line speed
    QString ComboBox2;    // parity
    QString Edit1;        // menu access code, 4 characters
    QString Combo_inputs; // number of pulse inputs
    QString Combo_polarity;
};

// What a service command sends and says. When send is false, rejection holds the log line of
// the refusal.
struct ServiceCommandPlan {
    bool send = false;
    QByteArray data;
    QString logLine;   // written before sending; empty for ChangeId, whose caller logs its own line
    QString rejection; // the log line of a refused command
};

// Payload, log line and rejection of a service command for the device at address. Throws
// std::invalid_argument when the device ID is not 8 decimal digits or the menu code has fewer
// than 4 characters: the service page refuses both before it gets here, so reaching it is a
// conversion error for the application's error display, not something to send.
ServiceCommandPlan serviceCommandPlan(ServiceCommand command, const ServiceControls &controls,
                                      int address);

// The sub-code of function 0x47 that carries a service command.
int serviceSubCode(ServiceCommand command);

// A speed and parity as the port and the service page name them ("9600", "None").
struct LineSetting {
    int speed = 9600;
    QString parity = QStringLiteral("None");

    friend bool operator==(const LineSetting &, const LineSetting &) = default;
    QString text() const { return QString::number(speed) + QLatin1Char(' ') + parity; }
};

// The seven speeds and three parities a logger can be set to, slowest first.
QList<LineSetting> allLineSettings();
// The setting of the logger's own codes (speed 0..6, parity 0 even, 1 odd, 2 none).
std::optional<LineSetting> lineSettingFromCodes(int speedCode, int parityCode);

// What the status query of the information read tells about a logger.
struct LoggerStatus {
    bool locked = false;
    int inputs = 0;
    int polarity = 0;
    std::optional<LineSetting> line;
    QString deviceId; // 8 decimal digits
};
// The status query's answer: lock state, number of inputs, polarity, line setting codes and the
// device ID as four BCD bytes. Nothing for a reply of another length or sub-code.
std::optional<LoggerStatus> parseStatusReply(const ModbusReply &reply);

} // namespace corvane
