#pragma once

#include <QByteArray>
#include <QString>

namespace corvane {

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
