// The commands of corvane-cli, one address at a time: each runs the core's operations and
// builds its result from their readings, write result and step outcomes.
#include "atomic_file.h"
#include "bus_scan.h"
#include "cli_run.h"
#include "cli_session.h"
#include "csv_export.h"
#include "device_model.h"
#include "device_tables.h"
#include "mqtt_commands.h"
#include "payload.h"
#include "register_map.h"
#include "service_commands.h"
#include "table_rows.h"
#include "value_encoding.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QScopeGuard>

namespace corvane {
namespace {

QStringList tableHeader(const QString &first, int inputs) {
    QStringList header{first};
    for (int input = 1; input <= inputs; ++input)
        header << inputTitle(input);
    return header;
}

// One table row of a reading for inputs 1..inputs: the texts the window's table shows, to the
// text rows, and the values, numbers as numbers, to the JSON rows.
template <typename Text, typename Value>
void addRow(AddressResult &result, QJsonArray &rows, const QString &title,
            const DeviceReading &reading, int inputs, Text text, Value value) {
    QStringList line{title};
    QJsonArray values;
    for (int input = 1; input <= inputs; ++input) {
        const InputReading &in = reading.inputs[std::size_t(input - 1)];
        line << text(in).value_or(QString());
        values.append(value(in));
    }
    result.rows << line;
    rows.append(QJsonObject{{QStringLiteral("row"), title}, {QStringLiteral("values"), values}});
}

QJsonValue parameterValue(const InputReading &input, int row) {
    switch (row) {
    case kRowUnit:
        return jsonText(input.unit);
    case kRowPulseConstant:
        return jsonNumber(input.pulseConstant);
    case kRowUserNumber:
        return jsonNumber(input.userNumber);
    case kRowFreeText:
        return jsonText(input.freeText);
    case kRowInitialValue:
        return jsonTenths(input.initialValueTenths);
    default:
        break;
    }
    if (isTariffRow(row)) {
        const auto &tariff = input.tariffs[std::size_t((row - kRowTariff1Start) / 2)];
        if (!tariff)
            return QJsonValue::Null;
        return isTariffStartRow(row) ? tariff->startHour : tariff->duration;
    }
    return jsonTenths(input.tariffInitialValueTenths[std::size_t(row - kRowTariff1InitialValue)]);
}

QJsonValue counterValue(const InputReading &input, int row) {
    if (row == kRowTotalConsumption)
        return jsonTenths(input.consumptionTenths);
    if (row == kRowTotalPulses)
        return jsonNumber(input.totalPulses);
    return jsonNumber(input.tariffPulses[std::size_t(row - kRowTariff1Pulses)]);
}

QString inputStatusText(int bits) {
    return QStringLiteral("0x") + QStringLiteral("%1").arg(bits, 2, 16, QLatin1Char('0')).toUpper();
}

} // namespace

AddressResult CliRun::identify(int address) {
    AddressResult result;
    result.address = address;
    runAndWait([this] { return m_page.readDeviceInfo(); });
    if (const auto reason = failure()) {
        result.error = reason;
        return result;
    }
    const DeviceReading &info = m_session.reading;
    const std::optional<LoggerStatus> &status = m_page.lastStatus();
    QJsonObject json{
        {QStringLiteral("address"), address},
        {QStringLiteral("model"), m_session.device.DeviceType},
        {QStringLiteral("identification"), info.identification.value_or(QString()).simplified()}};
    QString id, speed, parity, lock, inputs;
    if (status) {
        id = status->deviceId;
        lock = status->locked ? QStringLiteral("locked") : QStringLiteral("unlocked");
        inputs = QString::number(status->inputs);
        json.insert(QStringLiteral("deviceId"), id);
        json.insert(QStringLiteral("locked"), status->locked);
        json.insert(QStringLiteral("inputs"), status->inputs);
        if (status->line) {
            speed = QString::number(status->line->speed);
            parity = status->line->parity;
            json.insert(QStringLiteral("speed"), status->line->speed);
            json.insert(QStringLiteral("parity"), parity);
        }
    }
    const std::optional<double> volts = info.batteryVolts();
    json.insert(QStringLiteral("battery"), volts ? QJsonValue(*volts) : QJsonValue::Null);
    json.insert(QStringLiteral("clock"),
                info.clock ? info.clock->dateText() + QLatin1Char(' ') + info.clock->timeText()
                           : QString());
    json.insert(QStringLiteral("pulseLength"),
                info.pulseSettings ? info.pulseSettings->lengthText() : QString());
    json.insert(QStringLiteral("language"),
                info.pulseSettings ? info.pulseSettings->languageName() : QString());
    result.json = json;
    result.rows = {
        {QString::number(address), m_session.device.DeviceType, id, speed, parity, lock, inputs}};
    return result;
}

AddressResult CliRun::read(int address) {
    AddressResult result;
    result.address = address;
    result.error = runWithModel({[this] { return m_ops.readParameters(); }});
    if (result.error)
        return result;
    const DeviceReading &reading = m_session.reading;
    const int inputs = m_session.device.InputCount;
    QJsonArray rows;
    result.rows << tableHeader(QStringLiteral("Parameter"), inputs);
    for (int row = 1; row <= kParameterRows; ++row) {
        addRow(
            result, rows, QLatin1String(kParameterRowTitles[std::size_t(row - 1)]), reading, inputs,
            [row](const InputReading &in) { return parameterText(in, row, QLocale::c()); },
            [row](const InputReading &in) { return parameterValue(in, row); });
    }
    result.json = QJsonObject{{QStringLiteral("address"), address},
                              {QStringLiteral("model"), m_session.device.DeviceType},
                              {QStringLiteral("parameters"), rows}};
    // From the address's slot, as the window's export writes it: columns beyond this model's
    // inputs may still hold what the slot had.
    const AddressStore &store = m_session.store;
    result.csv = csvBlock(
        address, kParameterRows,
        [](int row) { return QLatin1String(kParameterRowTitles[std::size_t(row - 1)]); },
        [&store, address](int col, int row) { return store.cell(address, col, row); },
        QStringLiteral(";"));
    return result;
}

AddressResult CliRun::counters(int address) {
    AddressResult result;
    result.address = address;
    DeviceReading counts, flow, status;
    result.error = runWithModel({[&] {
                                     const CommandStart started = m_ops.readCounters();
                                     waitIdle();
                                     counts = m_session.reading;
                                     return started;
                                 },
                                 [&] {
                                     const CommandStart started = m_ops.readFlow();
                                     waitIdle();
                                     flow = m_session.reading;
                                     return started;
                                 },
                                 [&] {
                                     const CommandStart started = m_ops.readInputStatus();
                                     waitIdle();
                                     status = m_session.reading;
                                     return started;
                                 }});
    if (result.error)
        return result;
    const int inputs = m_session.device.InputCount;
    const QLocale c = QLocale::c();
    QJsonArray rows;
    result.rows << tableHeader(QStringLiteral("Value"), inputs);
    for (int row = 1; row <= kCounterRows; ++row) {
        addRow(
            result, rows, QLatin1String(kCounterRowTitles[std::size_t(row - 1)]), counts, inputs,
            [row, &c](const InputReading &in) { return counterText(in, row, c); },
            [row](const InputReading &in) { return counterValue(in, row); });
    }
    addRow(
        result, rows, QLatin1String(kFlowRowTitle), flow, inputs,
        [&c](const InputReading &in) { return flowText(in, c); },
        [](const InputReading &in) { return jsonTenths(in.flowTenths); });
    const int bits = status.inputStatus.value_or(0);
    const std::optional<double> volts = counts.batteryVolts();
    result.rows << QStringList{QStringLiteral("Battery status"),
                               counts.batteryByte ? formatBatteryLevel(*counts.batteryByte, c)
                                                  : QString()}
                << QStringList{QStringLiteral("Input status"), inputStatusText(bits)};
    result.json = QJsonObject{
        {QStringLiteral("address"), address},
        {QStringLiteral("model"), m_session.device.DeviceType},
        {QStringLiteral("counters"), rows},
        {QStringLiteral("battery"), volts ? QJsonValue(*volts) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("inputStatus"), bits}};
    // All eight inputs, as the window's export writes the counters table.
    result.csv = csvBlock(
        address, kCounterRows,
        [](int row) { return QLatin1String(kCounterRowTitles[std::size_t(row - 1)]); },
        [&counts, &c](int col, int row) {
            if (col < 1 || col > kMaxInputs)
                return QString();
            return counterText(counts.inputs[std::size_t(col - 1)], row, c).value_or(QString());
        },
        QStringLiteral(";"));
    return result;
}

AddressResult CliRun::write(int address) {
    AddressResult result;
    result.address = address;
    if (findModel(m_session.store.model(address)) == nullptr) {
        result.error =
            QStringLiteral("no record with a known model in %1").arg(shownText(m_options.fromFile));
        return result;
    }
    runAndWait([this] { return m_ops.writeParameters(); });
    const WriteResult &written = m_ops.lastWrite();
    // One entry per row the sequence sent or refused, with what became of it.
    QJsonArray rows;
    for (const WriteRow &row : written.rows) {
        QString outcome;
        switch (row.outcome) {
        case WriteRow::Outcome::Written:
            outcome = QStringLiteral("written");
            break;
        case WriteRow::Outcome::Sent:
            outcome = QStringLiteral("sent, not acknowledged");
            break;
        case WriteRow::Outcome::Failed:
            outcome = verdictReason(row.verdict);
            break;
        case WriteRow::Outcome::Refused:
            outcome = QStringLiteral("refused: ") + row.refusal;
            break;
        }
        rows.append(
            QJsonObject{{QStringLiteral("row"), row.what}, {QStringLiteral("result"), outcome}});
        result.rows << QStringList{QString::number(address), row.what, outcome};
    }
    result.error = written.failureReason();
    if (!result.error) {
        // The error display's messages that no row accounts for: a port that failed midway.
        for (const QString &error : m_errors) {
            const bool refusal =
                std::any_of(written.rows.begin(), written.rows.end(),
                            [&error](const WriteRow &row) { return row.refusal == error; });
            if (!refusal) {
                result.error = QStringLiteral("refused: ") + error;
                break;
            }
        }
    }
    if (!result.error)
        result.error = failure();
    result.json = QJsonObject{{QStringLiteral("address"), address}, {QStringLiteral("rows"), rows}};
    // A refused row is reported in the rows; the address still counts as failed.
    if (result.error && !rows.isEmpty())
        result.json.insert(QStringLiteral("error"), *result.error);
    return result;
}

CommandStart CliRun::sendAcknowledged(const char *name,
                                      const std::function<SentRequest(int slave)> &send) {
    const CommandStart checked = m_session.portCheck();
    if (checked != CommandStart::Started)
        return checked;
    RequestRunner::Command command;
    command.name = name;
    command.noReply = RequestRunner::NoReply::Log;
    command.steps.push_back({[send](int slave) { return std::optional(send(slave)); }, {}, true});
    return m_session.start(command);
}

// The window sends the clock and never looks at the logger's acknowledgement. A script has to
// learn whether the logger took the time, and an acknowledgement left unread would reach the
// next program that opens the port in front of its first reply; so here the write waits for
// the acknowledgement and checks it like any other reply.
AddressResult CliRun::setClock(int address) {
    return setClockTo(address, m_options.time.value_or(QDateTime::currentDateTime()));
}

AddressResult CliRun::setClockTo(int address, const QDateTime &time) {
    AddressResult result;
    result.address = address;
    const QByteArray payload = clockPayload(time);
    runAndWait([&] {
        return sendAcknowledged("clock write", [this, payload](int slave) {
            return m_session.master.SendWriteClock(slave, payload);
        });
    });
    if (const auto reason = failure()) {
        result.error = reason;
        return result;
    }
    const QString written = time.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"));
    result.json =
        QJsonObject{{QStringLiteral("address"), address}, {QStringLiteral("time"), written}};
    result.rows = {{QString::number(address), written}};
    return result;
}

// The service page's commands, behind its password (checked once, before the loop).
AddressResult CliRun::service(int address) {
    AddressResult result;
    result.address = address;
    const QString &command = m_options.command;
    QString outcome;
    if (command == QLatin1String("set-address")) {
        // The window sends this write without waiting; a script must see the echo, or the next
        // program to open the port would take it for the start of its own reply.
        runAndWait([this] {
            return sendAcknowledged("bus address write", [this](int slave) {
                return m_session.master.SendWriteSingle(slave, kRegBusAddress, m_options.newAddress,
                                                        1);
            });
        });
        outcome = QStringLiteral("moved to %1").arg(m_options.newAddress);
    } else if (command == QLatin1String("set-line")) {
        runAndWait([this] { return m_page.changeLineSettings(); });
        outcome = QStringLiteral("%1 %2").arg(m_options.newSpeed).arg(m_options.newParity);
    } else if (command == QLatin1String("lock")) {
        runAndWait([this] { return m_page.lockDevice(); });
        outcome = QStringLiteral("locked");
    } else if (command == QLatin1String("unlock")) {
        runAndWait([this] { return m_page.unlockDevice(); });
        outcome = QStringLiteral("unlocked");
    } else if (command == QLatin1String("read-code")) {
        runAndWait([this] { return m_page.readMenuCode(); });
        outcome = m_session.reading.menuCode.value_or(QString());
    } else if (command == QLatin1String("set-code")) {
        runAndWait([this] { return m_page.changeMenuCode(); });
        outcome = QStringLiteral("set to ") + m_options.code;
    }
    if (const auto reason = failure()) {
        result.error = reason;
        return result;
    }
    result.json = QJsonObject{{QStringLiteral("address"), address},
                              {QStringLiteral("command"), command},
                              {QStringLiteral("result"), outcome}};
    if (command == QLatin1String("read-code"))
        result.json.insert(QStringLiteral("code"), outcome);
    result.rows = {{QString::number(address), outcome}};
    return result;
}

int CliRun::scan() {
    SerCommScanPort port(m_comm);
    BusScan scan(m_session, port);
    ScanOptions options;
    options.from = m_options.scanFrom;
    options.to = m_options.scanTo;
    options.settings =
        m_options.allSettings ? allLineSettings() : QList<LineSetting>{port.lineSetting()};
    if (m_options.windowGiven)
        options.replyWait = std::chrono::milliseconds(m_options.windowMs);
    QEventLoop loop;
    QObject::connect(&scan, &BusScan::finished, &loop, &QEventLoop::quit);
    if (m_progress) {
        QObject::connect(&scan, &BusScan::progressed, &loop, [this, &scan](int done, int total) {
            std::fprintf(m_err, "\r%s: %d of %d probes, about %s left   ", kProgram, done, total,
                         qPrintable(durationText(scan.estimatedLeft())));
            std::fflush(m_err);
        });
    }
    if (!scan.start(options)) {
        printLine(m_err, QStringLiteral("%1: the scan did not start").arg(QLatin1String(kProgram)));
        return CliExit::LoggerFailed;
    }
    loop.exec();
    if (m_progress)
        std::fputc('\n', m_err);
    QList<AddressResult> results;
    for (const FoundLogger &logger : scan.found()) {
        AddressResult result;
        result.address = logger.address;
        result.json = QJsonObject{{QStringLiteral("address"), logger.address},
                                  {QStringLiteral("speed"), logger.line.speed},
                                  {QStringLiteral("parity"), logger.line.parity},
                                  {QStringLiteral("model"), logger.model},
                                  {QStringLiteral("deviceId"), logger.deviceId},
                                  {QStringLiteral("inputs"), logger.inputs}};
        result.rows = {{QString::number(logger.address), QString::number(logger.line.speed),
                        logger.line.parity, logger.model, logger.deviceId,
                        QString::number(logger.inputs)}};
        results << result;
    }
    const int code = reportResults(m_options, results,
                                   {QStringLiteral("Address"), QStringLiteral("Speed"),
                                    QStringLiteral("Parity"), QStringLiteral("Model"),
                                    QStringLiteral("Device ID"), QStringLiteral("Inputs")},
                                   m_out, m_err);
    printLine(m_err, scan.summary());
    return code;
}

int CliRun::exportCsv() {
    if (const int code = loadInto(m_options.exportFile, false); code != CliExit::Ok)
        return code;
    // Titles over empty rows would pass for an export; as write --from, say what is missing.
    bool known = false;
    for (int address = AddressStore::kFirstAddress; address <= AddressStore::kLastAddress;
         ++address)
        known = known || findModel(m_session.store.model(address)) != nullptr;
    if (!known) {
        printLine(m_err, QStringLiteral("%1: no record with a known model in %2: nothing exported")
                             .arg(QLatin1String(kProgram), shownText(m_options.exportFile)));
        return CliExit::LoggerFailed;
    }
    AtomicFile file(m_options.csvFile);
    const QByteArray text =
        parameterExport(m_session.store, m_session.tables.Grid_data, QStringLiteral(";"));
    if (!file.open() || !file.commit(text)) {
        printLine(m_err, QStringLiteral("%1: %2 could not be written: %3")
                             .arg(QLatin1String(kProgram), shownText(m_options.csvFile),
                                  file.errorString().isEmpty()
                                      ? QStringLiteral("not a file one can create")
                                      : file.errorString()));
        return CliExit::Usage;
    }
    return CliExit::Ok;
}

// A command from the broker, between the monitor's requests.
AddressResult CliRun::mqttCommand(const MqttCommand &command) {
    select(command.address);
    forgetOutcomes();
    const auto forget = qScopeGuard([this] { forgetOutcomes(); });
    AddressResult result =
        command.kind == MqttCommand::Kind::SetClock
            ? setClockTo(command.address, command.time.value_or(QDateTime::currentDateTime()))
            : identify(command.address);
    // Told to stop, the command may not have gone out at all: that is no success.
    if (m_stopping && !result.error)
        result.error = QStringLiteral("the monitor stopped before it was made");
    return result;
}

} // namespace corvane
