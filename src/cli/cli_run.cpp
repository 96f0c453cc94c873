#include "cli_run.h"

#include "atomic_file.h"
#include "cli_listen.h"
#include "cli_monitor.h"
#include "cli_options.h"
#include "cli_session.h"
#include "decoders.h"
#include "device_model.h"
#include "line_names.h"
#include "network_port_name.h"
#include "register_map.h"
#include "ser_comm_error.h"
#include "sleeper.h"
#include "table_rows.h"
#include "value_encoding.h"
#include "work_file_io.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QScopeGuard>

#include <unistd.h>

namespace corvane {

CliRun::CliRun(const CliOptions &options, std::FILE *out, std::FILE *err, LogSink operatorLog)
    : m_options(options), m_out(out), m_err(err), m_view(std::move(operatorLog)),
      m_session(SessionEnvironment{m_comm,
                                   defaultSleeper(),
                                   m_view,
                                   m_controls,
                                   [this] { return m_address; },
                                   [this] { return m_comm.IsOpen(); },
                                   [] { return QStringLiteral("."); },
                                   QLocale::c(),
                                   {}}),
      m_ops(m_session, [this] { return m_options.time.value_or(QDateTime::currentDateTime()); }),
      m_page(m_session) {
    // Progress overwrites its own line, which only a terminal shows as meant.
    const int errFd = ::fileno(err);
    m_progress = errFd >= 0 && ::isatty(errFd) == 1;
    // What the window would show in a message box (a cell that does not convert, a port that
    // fails) belongs to the address being worked on.
    m_previousSink = setErrorSink([this](const QString &message) { m_errors << message; });
    QObject::connect(&m_session.runner, &RequestRunner::stepEnded, &m_session.runner,
                     [this](const StepOutcome &outcome) { m_outcomes << outcome; });
}

CliRun::~CliRun() {
    setErrorSink(m_previousSink);
}

int CliRun::openPort() {
    const QString device = resolvePortName(m_options.port);
    m_comm.SetDeviceName(device);
    m_comm.SetDirectWrite(true);
    applyLinkOptions(linkOptions(m_options), m_session, m_comm);
    m_comm.OnRxChar = [this](TSerCustomComm *, int count) {
        runGuarded([&] { m_session.runner.Comm1RxChar(count); });
    };
    m_comm.OnError = [this](TSerCustomComm *, int errors) {
        if (std::uint32_t(errors) & kSerDeviceLost)
            m_lost = true;
    };
    try {
        m_comm.OpenPort();
        setPortSpeed(m_comm, m_options.speed);
        setPortParity(m_comm, m_options.parity);
    } catch (const ESerCommError &e) {
        printLine(m_err, QStringLiteral("%1: %2").arg(
                             QLatin1String(kProgram),
                             e.kind() == ESerCommError::Kind::DeviceNotOpened
                                 ? portOpenFailureText(shownText(m_options.port), shownText(device),
                                                       e.osError())
                                 : QString::fromUtf8(e.what())));
        return CliExit::PortFailed;
    }
    if (!m_comm.Rs485Refusal().isEmpty())
        printLine(m_err, QStringLiteral("%1: %2").arg(QLatin1String(kProgram),
                                                      rs485RefusalText(m_comm.Rs485Refusal())));
    return CliExit::Ok;
}

// The work file into the session's store, and the table onto its highest slot, as the window
// loads one.
int CliRun::loadInto(const QString &path, bool mayBeMissing) {
    WorkFileLoad load = loadWorkFile(path);
    QString problem;
    switch (load.status) {
    case WorkFileLoad::Status::Loaded:
        break;
    case WorkFileLoad::Status::NotOpened:
        if (mayBeMissing && !QFileInfo::exists(path))
            return CliExit::Ok;
        problem = QStringLiteral("it cannot be opened");
        break;
    case WorkFileLoad::Status::NotRegular:
        problem = QStringLiteral("it is not a regular file");
        break;
    case WorkFileLoad::Status::Damaged:
        problem = load.problem;
        break;
    }
    if (!problem.isEmpty()) {
        printLine(m_err, QStringLiteral("%1: work file %2: %3")
                             .arg(QLatin1String(kProgram), shownText(path), problem));
        return CliExit::Usage;
    }
    AddressStore &store = m_session.store;
    applyWorkFile(load.contents, store);
    store.storeToTable(store.HighestAddress, m_session.tables.Grid_data);
    store.CurrentAddress = store.HighestAddress;
    m_address = store.HighestAddress;
    return CliExit::Ok;
}

void CliRun::select(int address) {
    m_address = address;
    m_ops.selectAddress(address);
    forgetOutcomes();
    m_refusal.reset();
}

void CliRun::forgetOutcomes() {
    m_outcomes.clear();
    m_errors.clear();
}

std::optional<QString> CliRun::lostLine() const {
    if (!m_lost)
        return std::nullopt;
    return isNetworkPortName(m_options.port.toStdString())
               ? QStringLiteral("the gateway closed the connection")
               : QStringLiteral("the serial device is gone");
}

void CliRun::waitIdle() {
    while (m_session.runner.isBusy()) {
        QEventLoop loop;
        QObject::connect(&m_session.runner, &RequestRunner::commandEnded, &loop, &QEventLoop::quit);
        if (m_session.runner.isBusy())
            loop.exec();
    }
}

void CliRun::runAndWait(const std::function<CommandStart()> &operation) {
    if (m_stopping)
        return;
    CommandStart started = CommandStart::Started;
    runGuarded([&] { started = operation(); });
    if (started != CommandStart::Started && !m_refusal)
        m_refusal = started;
    waitIdle();
}

std::optional<QString> CliRun::failure() const {
    // What went wrong with the line explains every silence after it.
    if (const auto lost = lostLine())
        return lost;
    if (m_refusal) {
        switch (*m_refusal) {
        case CommandStart::Started:
            break;
        case CommandStart::PortClosed:
            return QStringLiteral("port not open");
        case CommandStart::ModelUnknown:
            return QStringLiteral("model unknown");
        case CommandStart::Busy:
            return QStringLiteral("another request is in progress");
        case CommandStart::InputRefused:
            return QStringLiteral("refused");
        }
    }
    for (const StepOutcome &outcome : m_outcomes) {
        if (!outcome.verdict.accepted() && !outcome.sendFailed)
            return verdictReason(outcome.verdict);
    }
    if (!m_errors.isEmpty())
        return m_errors.first();
    for (const StepOutcome &outcome : m_outcomes) {
        if (outcome.sendFailed)
            return QStringLiteral("the request could not be sent");
    }
    return std::nullopt;
}

// The model alone, from the device identification: what "Read type" learns in its fourth step,
// without the four requests around it that a read does not need.
bool CliRun::learnModel() {
    RequestRunner::Command command;
    command.name = "device identification";
    command.steps.push_back(
        {[this](int slave) { return m_session.master.SendReadDeviceId(slave, kDeviceIdCode); },
         m_session.decoder(DecodeDeviceId), false});
    m_session.collectReading(command, DeviceReading::Kind::Identification);
    runAndWait([&] {
        const CommandStart checked = m_session.portCheck();
        return checked == CommandStart::Started ? m_session.start(command) : checked;
    });
    return findModel(m_session.device.DeviceType) != nullptr;
}

std::optional<QString> CliRun::runWithModel(const std::vector<std::function<CommandStart()>> &ops) {
    if (!learnModel() || m_stopping)
        return failure().value_or(QStringLiteral("model unknown"));
    forgetOutcomes();
    for (const auto &operation : ops)
        runAndWait(operation);
    return failure();
}

void CliRun::progress(int index) {
    if (!m_progress)
        return;
    std::fprintf(m_err, "\r%s: address %d (%d of %d)...", kProgram, m_options.addresses.at(index),
                 index + 1, int(m_options.addresses.size()));
    std::fflush(m_err);
}

int CliRun::exec() {
    const QString &command = m_options.command;
    if (command == QLatin1String("export"))
        return exportCsv();
    if (command == QLatin1String("monitor"))
        return monitor();
    if (command == QLatin1String("listen"))
        return CliListen(m_options, m_out, m_err).exec();
    if (command == QLatin1String("write")) {
        if (const int code = loadInto(m_options.fromFile, false); code != CliExit::Ok)
            return code;
        using Group = ControlReader::WriteGroup;
        const QList<Group> all{Group::Unit,     Group::Constant, Group::User,
                               Group::FreeText, Group::Tariffs,  Group::Initial};
        for (qsizetype i = 0; i < kWriteGroups.size(); ++i) {
            if (m_options.only.isEmpty() || m_options.only.contains(kWriteGroups.at(i)))
                m_controls.groups << all.at(i);
        }
    }
    if (command == QLatin1String("read") && !m_options.saveFile.isEmpty()) {
        if (const int code = loadInto(m_options.saveFile, true); code != CliExit::Ok)
            return code;
    }
    if (kServiceCommands.contains(command)) {
        using Field = ControlReader::Field;
        m_controls.fields = {{Field::NewAddress, QString::number(m_options.newAddress)},
                             {Field::Speed, QString::number(m_options.newSpeed)},
                             {Field::Parity, m_options.newParity},
                             {Field::MenuCode, m_options.code}};
        m_page.enterPassword(m_options.servicePassword);
        if (!m_page.isUnlocked()) {
            printLine(m_err, QStringLiteral("%1: wrong service password, nothing was changed")
                                 .arg(QLatin1String(kProgram)));
            return CliExit::Usage;
        }
    }
    if (const int code = openPort(); code != CliExit::Ok)
        return code;
    const auto closePort = qScopeGuard([this] { m_comm.ClosePort(); });
    if (command == QLatin1String("scan"))
        return scan();

    QList<AddressResult> results;
    for (int i = 0; i < m_options.addresses.size(); ++i) {
        const int address = m_options.addresses.at(i);
        progress(i);
        select(address);
        if (command == QLatin1String("identify"))
            results << identify(address);
        else if (command == QLatin1String("read"))
            results << read(address);
        else if (command == QLatin1String("counters"))
            results << counters(address);
        else if (command == QLatin1String("write"))
            results << write(address);
        else if (command == QLatin1String("set-clock"))
            results << setClock(address);
        else
            results << service(address);
    }
    if (m_progress)
        std::fputc('\n', m_err);

    QStringList header;
    if (command == QLatin1String("identify"))
        header = {QStringLiteral("Address"), QStringLiteral("Model"),  QStringLiteral("Device ID"),
                  QStringLiteral("Speed"),   QStringLiteral("Parity"), QStringLiteral("Lock"),
                  QStringLiteral("Inputs")};
    else if (command == QLatin1String("write"))
        header = {QStringLiteral("Address"), QStringLiteral("Row"), QStringLiteral("Result")};
    else if (command == QLatin1String("set-clock"))
        header = {QStringLiteral("Address"), QStringLiteral("Time written")};
    else if (command == QLatin1String("read-code"))
        header = {QStringLiteral("Address"), QStringLiteral("Menu code")};
    else
        header = {QStringLiteral("Address"), QStringLiteral("Result")};
    int code = reportResults(m_options, results, header, m_out, m_err);

    if (command == QLatin1String("read") && !m_options.saveFile.isEmpty()) {
        AtomicFile file(m_options.saveFile);
        if (!file.open() || !file.commit(encodeWorkFile(m_session.store))) {
            printLine(m_err, QStringLiteral("%1: work file %2 could not be written: %3")
                                 .arg(QLatin1String(kProgram), shownText(m_options.saveFile),
                                      file.errorString()));
            code = CliExit::LoggerFailed;
        }
    }
    return code;
}

int CliRun::monitor() {
    CliMonitor monitor(
        m_options, m_session, [this](int address) { return prepareMonitored(address); },
        [this] { stopPreparing(); }, [this] { return lostLine(); }, [this] { forgetOutcomes(); },
        m_out, m_err);
    monitor.setCommandRunner([this](const MqttCommand &command) { return mqttCommand(command); });
    if (const int code = monitor.check(); code != CliExit::Ok)
        return code;
    if (const int code = openPort(); code != CliExit::Ok)
        return code;
    const auto closePort = qScopeGuard([this] { m_comm.ClosePort(); });
    return monitor.exec();
}

// The model, the units of the parameter table and, for discovery, the device ID of an address
// about to be monitored.
std::optional<MonitoredLogger> CliRun::prepareMonitored(int address) {
    select(address);
    const auto forget = qScopeGuard([this] { forgetOutcomes(); });
    if (runWithModel({[this] { return m_ops.readParameters(); }}))
        return std::nullopt;
    MonitoredLogger logger;
    logger.model = m_session.device.DeviceType;
    if (m_options.haDiscovery) {
        forgetOutcomes();
        runAndWait([this] { return m_page.readDeviceInfo(); });
        if (m_stopping || failure() || !m_page.lastStatus())
            return std::nullopt;
        logger.deviceId = m_page.lastStatus()->deviceId;
    }
    for (int input = 1; input <= m_session.device.InputCount; ++input)
        logger.units << m_session.tables.Grid_data.cell(input, kRowUnit);
    return logger;
}

void CliRun::stopPreparing() {
    m_stopping = true;
    m_session.runner.stop();
}

int runCli(const QStringList &arguments, std::FILE *out, std::FILE *err, LogSink operatorLog) {
    const CliParse parse = parseCliArguments(arguments);
    if (!parse.options) {
        printLine(
            err,
            QStringLiteral("%1: %2 (see %1 --help)").arg(QLatin1String(kProgram), parse.error));
        return CliExit::Usage;
    }
    const CliOptions &options = *parse.options;
    if (options.version) {
        printLine(out, QStringLiteral("%1 %2").arg(QLatin1String(kProgram),
                                                   QLatin1String(CORVANE_VERSION)));
        return CliExit::Ok;
    }
    if (options.help) {
        std::fputs(qPrintable(cliUsage(options.command)), out);
        return CliExit::Ok;
    }
    // The logging categories speak of the program's insides: with --verbose they go to stderr
    // as Qt prints them, otherwise each failure is told once, by its own line.
    static bool verbose = false;
    verbose = options.verbose;
    const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext &context, const QString &message) {
            if (verbose || type == QtFatalMsg)
                std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
        });
    const auto restore = qScopeGuard([previous] { qInstallMessageHandler(previous); });
    LogSink sink = operatorLog ? std::move(operatorLog) : LogSink(logToCategory);
    if (options.verbose && !operatorLog)
        sink = [err](const QString &line) { printLine(err, line.trimmed()); };
    CliRun run(options, out, err, std::move(sink));
    return run.exec();
}

} // namespace corvane
