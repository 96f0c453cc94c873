#pragma once

#include "sim_transport.h"

#include <QString>

#include <atomic>
#include <cstdint>

namespace corvane {

// The loggers behind a serial-to-Ethernet gateway in transparent mode, listening on
// 127.0.0.1: the bytes of the connection are the bus, and every logger hears every frame
// whatever its line settings, since the gateway's serial side runs at settings of its own.
// One client at a time: while one is connected, the system completes a second one's
// connection, which then waits unanswered in the listen queue until the first one closes.
class SimTcpTransport : public SimTransport {
public:
    explicit SimTcpTransport(LoggerSimulator &loggers) : SimTransport(loggers) {}
    ~SimTcpTransport() override;

    // Port 0 lets the system choose.
    bool start(std::uint16_t port, QString *error);
    void stop();
    // 0 while not listening.
    std::uint16_t port() const { return m_port; }
    bool hasClient() const { return m_hasClient; }
    // Closes the client's connection, as a gateway that drops it; a request being answered
    // gets no reply. Safe from any thread and from the traffic log.
    void dropClient();

private:
    void run() override;
    ssize_t writeSome(int fd, const char *bytes, std::size_t size) override;
    int kickFd() const override { return m_kick; }
    bool takeDropRequest() override { return m_dropClient.exchange(false); }
    // Waits for the next client. False when the thread is to end.
    bool acceptClient();
    void closeClient();
    void closeListener();

    int m_listenFd = -1;
    int m_kick = -1; // wakes the thread for a drop
    int m_client = -1;
    std::atomic<std::uint16_t> m_port{0};
    std::atomic<bool> m_hasClient{false};
    std::atomic<bool> m_dropClient{false};
};

} // namespace corvane
