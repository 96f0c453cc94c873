#pragma once

#include <QByteArray>
#include <QString>

namespace corvane {

// Request frames, built without touching the line. Every builder closes the frame with its CRC
// (low byte first); 16-bit fields go high byte first and take the low 16 bits of what is passed.
// The largest request is a write of 16 registers: 41 bytes.
inline constexpr int kMaxFrameLength = 41;

QByteArray readHoldingFrame(int slave, int start, int count);
QByteArray readInputFrame(int slave, int start, int count);

// The one-byte value lands in the low byte (placement 1) or the high byte (placement 2) of the
// register; any other placement writes 0x0000. The device's language byte shares register 0x8010
// with the pulse length, which is why the high-byte placement exists at all.
QByteArray writeSingleFrame(int slave, int reg, int value, int placement);

// Whether SendWriteMultiple takes a block of this many registers for this model. 8 registers
// are either one 16-bit value per input of an 8-input logger or one 32-bit value per input of a
// 4-input logger; a 6-input logger never has a block of 8.
bool writeMultipleCountAllowed(int count, const QString &deviceType);

// Function 0x10 with count registers (1 to 16). The data area is always exactly 2 x count bytes:
// a short payload is padded with 0x00, a long one is cut. Returns an empty array for a count
// outside 1 to 16.
QByteArray writeMultipleFrame(int slave, int start, int count, const QByteArray &payload);

// The 13-byte clock write: function 0x10, registers 0x8012 and 0x8013, from the four payload
// bytes date high, date low, hour, minute (missing bytes are 0x00).
QByteArray clockFrame(int slave, const QByteArray &payload);

QByteArray readFileRecordFrame(int slave, int file, int record, int length);

// Function 0x15 with one sub-request. recordBytes must be an even number of bytes, 2 to 12;
// anything else gives an empty array, since the record length field could not describe it.
QByteArray writeFileRecordFrame(int slave, int file, int record, const QByteArray &recordBytes);

QByteArray readDeviceIdFrame(int slave, int code);
QByteArray serviceQueryFrame(int slave, int subCode);
// Function 0x47 with data: slave, 0x47, sub-code, length, data, CRC. At most 4 data bytes.
QByteArray serviceCommandFrame(int slave, int subCode, const QByteArray &data);

// The texts of the service page's controls that the service commands read.
struct ServiceControls {
    QString Edit_id;      // device ID, 8 decimal digits
    QString ComboBox1;    // line speed
    QString ComboBox2;    // parity
    QString Edit1;        // menu access code, 4 characters
    QString Combo_inputs; // number of pulse inputs
    QString Combo_polarity;
};

// What a service command of one kind sends and says. When send is false, rejection holds the
// log line of the refusal (empty only for a kind that does not exist).
struct ServiceCommandPlan {
    bool send = false;
    QByteArray data;
    QString logLine;   // written before sending; empty for kind 1, whose caller logs its own line
    QString rejection; // the log line of a refused command
};

// Payload, log line and rejection of service command kind 1 to 7 for the device at address.
// Throws std::invalid_argument when the device ID is not 8 decimal digits or the menu code has
// fewer than 4 characters: the service page refuses both before it gets here, so reaching it is
// a conversion error for the application's error display, not something to send.
ServiceCommandPlan serviceCommandPlan(int kind, const ServiceControls &controls, int address);

// The sub-code that belongs to each service command kind, or -1 for an unknown kind.
int serviceSubCode(int kind);

} // namespace corvane
