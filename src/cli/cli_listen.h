#pragma once

#include "bus_listener.h"
#include "cli_options.h"
#include "exchange_format.h"

#include <QEventLoop>

#include <cstdio>

namespace corvane {

// corvane-cli listen: hears a line that another master drives and prints every exchange, and
// every run of noise, as it is settled, in the chosen format; with --capture every frame goes to
// a CSV file as well. Nothing is ever sent. Runs until SIGINT or SIGTERM, or until the port's
// device is gone.
class CliListen : public QObject {
public:
    CliListen(const CliOptions &options, std::FILE *out, std::FILE *err);

    // An exit code: 0 after a signal, 2 for a capture file that cannot be written, 3 when the
    // port cannot be opened or its device goes.
    int exec();

private:
    void print(const HeardExchange &exchange);
    void capture(const HeardFrame &frame, FrameRole role);
    void quit(int code);
    void line(const QString &text);

    const CliOptions &m_options;
    std::FILE *m_out;
    std::FILE *m_err;
    BusListener m_listener;
    BusCapture m_capture;
    QEventLoop m_loop;
    int m_code = 0;
    bool m_captureFailed = false;
};

} // namespace corvane
