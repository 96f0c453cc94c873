#pragma once

#include "bus_exchange.h"
#include "bus_framer.h"
#include "ser_comm.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <memory>

namespace corvane {

// The port a listener opens, and its line settings as the Options dialog names them.
struct ListenPort {
    QString name;
    int speed = 9600;
    QString parity = QStringLiteral("None");
    int stopBits = 1;
    int dataBits = 8;
    // "9600 None, 1 stop bit".
    QString settingsText() const;
};

// Listens to a line that another master drives. The port is opened to receive only: nothing is
// ever written to it, and RTS stays down as the port's open leaves it, so the transceiver stays
// in receive. What is heard is framed (BusFramer) and paired (ExchangePairer) on the thread that
// owns the listener, each read stamped with the time it was taken.
class BusListener : public QObject {
    Q_OBJECT
public:
    explicit BusListener(SerialOs &os = defaultSerialOs(), QObject *parent = nullptr);
    ~BusListener() override;

    // False, with the reason in the operator's terms, when the port cannot be opened.
    bool start(const ListenPort &port, QString *failure);
    // What is still pending comes out, then the port closes.
    void stop();
    bool isListening() const { return m_comm.IsOpen(); }
    const ListenPort &port() const { return m_port; }
    // The PC's clock at a moment heard.
    QDateTime timeOf(BusTime at) const;

Q_SIGNALS:
    // Every frame and run of noise as soon as it is framed, with what it was taken for.
    void frameHeard(const HeardFrame &frame, FrameRole role);
    // Exchanges and noise once settled, in the order of time.
    void exchangeHeard(const HeardExchange &exchange);
    // The port's device has gone; the listening has ended.
    void lineLost();

private:
    void readAvailable();
    void onTimer();
    void arm();
    void deviceLost();

    TSerComm m_comm;
    ListenPort m_port;
    std::unique_ptr<BusFramer> m_framer;
    std::unique_ptr<ExchangePairer> m_pairer;
    QTimer m_timer;
    BusTime m_originSteady;
    QDateTime m_originWall;
};

} // namespace corvane
