#include "cli_listen.h"

#include "cli_report.h"
#include "cli_run.h"
#include "cli_signals.h"
#include "value_encoding.h"

namespace corvane {

CliListen::CliListen(const CliOptions &options, std::FILE *out, std::FILE *err)
    : m_options(options), m_out(out), m_err(err) {
    connect(&m_listener, &BusListener::exchangeHeard, this,
            [this](const HeardExchange &exchange) { print(exchange); });
    connect(&m_listener, &BusListener::frameHeard, this,
            [this](const HeardFrame &frame, FrameRole role) { capture(frame, role); });
    connect(&m_listener, &BusListener::lineLost, this, [this] {
        line(QStringLiteral("the serial device is gone"));
        quit(CliExit::PortFailed);
    });
}

void CliListen::line(const QString &text) {
    printLine(m_err, QStringLiteral("%1: %2").arg(QLatin1String(kProgram), text));
}

int CliListen::exec() {
    if (!m_options.captureFile.isEmpty() && !m_capture.open(m_options.captureFile)) {
        line(QStringLiteral("capture file %1: %2")
                 .arg(shownText(m_options.captureFile), m_capture.errorString()));
        return CliExit::Usage;
    }
    const StopSignals stopSignals([this] { quit(CliExit::Ok); });
    ListenPort port;
    port.name = m_options.port;
    port.speed = m_options.speed;
    port.parity = m_options.parity;
    port.stopBits = m_options.stopBits;
    QString failure;
    if (!m_listener.start(port, &failure)) {
        line(failure);
        return CliExit::PortFailed;
    }
    // Said once the port is open: a script may wait for this line before the line is driven.
    line(QStringLiteral("listening on %1 at %2; nothing is sent")
             .arg(shownText(m_options.port), port.settingsText()));
    if (m_options.format == CliOptions::Format::Csv) {
        const QByteArray header = exchangeCsvHeader();
        std::fwrite(header.constData(), 1, std::size_t(header.size()), m_out);
        std::fflush(m_out);
    }
    m_loop.exec();
    m_listener.stop();
    std::fflush(m_out);
    return m_code;
}

void CliListen::print(const HeardExchange &exchange) {
    const ExchangeDescription description = describeExchange(exchange);
    const QDateTime time = m_listener.timeOf(exchange.start);
    QByteArray bytes;
    switch (m_options.format) {
    case CliOptions::Format::Text:
        bytes = exchangeText(exchange, description, time).toUtf8() + '\n';
        break;
    case CliOptions::Format::Json:
        bytes = exchangeJson(exchange, description, time) + '\n';
        break;
    case CliOptions::Format::Csv:
        bytes = exchangeCsvRow(exchange, description, time);
        break;
    }
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), m_out);
    std::fflush(m_out);
}

void CliListen::capture(const HeardFrame &frame, FrameRole role) {
    if (!m_capture.isOpen() || m_captureFailed)
        return;
    if (m_capture.write(frame, role, m_listener.timeOf(frame.start)))
        return;
    // Told once: every later row would fail alike.
    m_captureFailed = true;
    line(QStringLiteral("capture file %1: %2")
             .arg(shownText(m_options.captureFile), m_capture.errorString()));
    quit(CliExit::LoggerFailed);
}

void CliListen::quit(int code) {
    if (code != CliExit::Ok && m_code == CliExit::Ok)
        m_code = code;
    m_loop.quit();
}

} // namespace corvane
