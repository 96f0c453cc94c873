#include "line_names.h"

#include "ser_comm.h"

namespace corvane {

namespace {

struct SpeedName {
    int speed;
    TSerBaudrate rate;
};
// The speeds the Options dialog offers.
constexpr SpeedName kSpeedNames[] = {{300, br300},     {1200, br1200},   {2400, br2400},
                                     {4800, br4800},   {9600, br9600},   {14400, br14400},
                                     {19200, br19200}, {38400, br38400}, {115200, br115200}};

struct ParityName {
    const char *name;
    TSerParity parity;
};
constexpr ParityName kParityNames[] = {
    {"None", paNone}, {"Even", paEven}, {"Odd", paOdd}, {"Mark", paMark}, {"Space", paSpace}};

} // namespace

void setPortSpeed(TSerComm &Comm1, int speed) {
    for (const SpeedName &name : kSpeedNames) {
        if (name.speed == speed)
            Comm1.SetBaudrate(name.rate);
    }
}

void setPortParity(TSerComm &Comm1, const QString &parity) {
    for (const ParityName &name : kParityNames) {
        if (parity == QLatin1String(name.name))
            Comm1.SetParity(name.parity);
    }
}

int portSpeed(const TSerComm &Comm1) {
    for (const SpeedName &name : kSpeedNames) {
        if (name.rate == Comm1.Baudrate())
            return name.speed;
    }
    return 0;
}

QString portParity(const TSerComm &Comm1) {
    for (const ParityName &name : kParityNames) {
        if (name.parity == Comm1.Parity())
            return QLatin1String(name.name);
    }
    return {};
}

} // namespace corvane
