#include "cli_run.h"

#include "atomic_file.h"
#include "bus_scan.h"
#include "cli_options.h"
#include "cli_view.h"
#include "csv_export.h"
#include "decoders.h"
#include "device_model.h"
#include "device_operations.h"
#include "device_session.h"
#include "error_display.h"
#include "line_names.h"
#include "payload.h"
#include "register_map.h"
#include "ser_comm.h"
#include "ser_comm_error.h"
#include "service_page.h"
#include "sleeper.h"
#include "table_rows.h"
#include "work_file_io.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>

#include <unistd.h>

namespace corvane {
namespace {

// What one address gave: a JSON object with numbers as numbers, from which the text and csv
// forms are made, or the reason it failed.
struct AddressResult {
    int address = 0;
    std::optional<QString> error;
    QJsonObject json;
    QByteArray csv;
    // Lines of its own text block (read, counters) or its rows of the common table.
    QList<QStringList> rows;
};

// The service page's entries and the write's check boxes, as the command line gives them.
class CliControls : public ControlReader {
public:
    QString text(Field field) const override { return fields.value(field); }
    bool isChecked(WriteGroup group) const override { return groups.contains(group); }
    QHash<Field, QString> fields;
    QList<WriteGroup> groups;
};

const char *kProgram = "corvane-cli";

void printLine(std::FILE *stream, const QString &text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stream);
    std::fputc('\n', stream);
}

// Columns padded to their widest cell; the first row is the header.
QString alignedTable(const QList<QStringList> &rows) {
    QList<qsizetype> widths;
    for (const QStringList &row : rows) {
        for (qsizetype c = 0; c < row.size(); ++c) {
            if (widths.size() <= c)
                widths.append(0);
            widths[c] = std::max(widths[c], row.at(c).size());
        }
    }
    QStringList lines;
    for (const QStringList &row : rows) {
        QString line;
        for (qsizetype c = 0; c < row.size(); ++c) {
            if (c + 1 < row.size())
                line += row.at(c).leftJustified(widths[c] + 2);
            else
                line += row.at(c);
        }
        lines << line;
    }
    return lines.join(QLatin1Char('\n'));
}

// A cell's text as JSON: numbers as numbers where the row holds numbers. A unit behind the
// number ("12.5 l/s", "3.0 m3") is left to the row's title and the parameters.
QJsonValue cellValue(const QString &text, bool numeric) {
    const QString number = text.section(QLatin1Char(' '), 0, 0, QString::SectionSkipEmpty);
    if (!numeric || number.isEmpty())
        return text;
    bool ok = false;
    const qlonglong whole = number.toLongLong(&ok);
    if (ok)
        return whole;
    const double value = QLocale::c().toDouble(number, &ok);
    return ok ? QJsonValue(value) : QJsonValue(text);
}

QByteArray csvLines(const QList<QStringList> &rows) {
    QByteArray bytes;
    for (const QStringList &row : rows)
        bytes += row.join(QLatin1Char(';')).toUtf8() + "\r\n";
    return bytes;
}

class CliRun {
public:
    CliRun(const CliOptions &options, std::FILE *out, std::FILE *err)
        : m_options(options), m_out(out), m_err(err),
          m_session(SessionEnvironment{m_comm, defaultSleeper(), m_view, m_controls,
                                       [this] { return m_address; },
                                       [this] { return m_comm.IsOpen(); },
                                       [] { return QStringLiteral("."); }, QLocale::c()}),
          m_ops(m_session,
                [this] { return m_options.time.value_or(QDateTime::currentDateTime()); }),
          m_page(m_session) {
        m_progress = ::isatty(STDERR_FILENO) == 1;
        // What the window would show in a message box (a cell that does not convert, a port
        // that fails) belongs to the address being worked on.
        m_previousSink = setErrorSink([this](const QString &message) { m_view.errors << message; });
    }
    ~CliRun() { setErrorSink(m_previousSink); }

    int exec();

private:
    int openPort();
    int loadInto(const QString &path, bool mayBeMissing);
    void select(int address);
    void waitIdle();
    // Runs one command of the session and waits until the runner is idle again.
    template <typename Click> void runAndWait(Click click) {
        runGuarded(click);
        waitIdle();
    }
    bool identifyNow();
    bool learnModel();
    // The model first, then the commands; the first failure of them all, if any.
    std::optional<QString> runWithModel(const std::vector<std::function<void()>> &clicks);
    QStringList tableHeader(const QString &first) const;
    // One table row, to the text rows and, numbers as numbers where numeric, to the JSON rows.
    void addTableRow(AddressResult &result, QJsonArray &rows, const StringGrid &table, int row,
                     bool numeric) const;
    void progress(int index);

    AddressResult identify(int address);
    AddressResult read(int address);
    AddressResult counters(int address);
    AddressResult write(int address);
    AddressResult setClock(int address);
    AddressResult service(int address);
    int scan();
    int exportCsv();
    int report(const QList<AddressResult> &results, const QStringList &header);

    const CliOptions &m_options;
    std::FILE *m_out;
    std::FILE *m_err;
    TSerComm m_comm;
    CliView m_view;
    CliControls m_controls;
    int m_address = 1;
    DeviceSession m_session;
    DeviceOperations m_ops;
    ServicePage m_page;
    bool m_progress = false;
    ErrorSink m_previousSink;
};

int CliRun::openPort() {
    const QString device = resolvePortName(m_options.port);
    m_comm.SetDeviceName(device);
    m_comm.SetDirectWrite(true);
    m_comm.OnRxChar = [this](TSerCustomComm *, int count) {
        runGuarded([&] { m_session.runner.Comm1RxChar(count); });
    };
    try {
        m_comm.OpenPort();
        setPortSpeed(m_comm, m_options.speed);
        setPortParity(m_comm, m_options.parity);
    } catch (const ESerCommError &e) {
        printLine(m_err, QStringLiteral("%1: %2").arg(
                             QLatin1String(kProgram),
                             e.kind() == ESerCommError::Kind::DeviceNotOpened
                                 ? portOpenFailureText(m_options.port, device, e.osError())
                                 : QString::fromUtf8(e.what())));
        return CliExit::PortFailed;
    }
    m_session.runner.setResponseTime(std::chrono::milliseconds(m_options.windowMs));
    m_session.setFastReplies(m_options.fast);
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
        printLine(
            m_err,
            QStringLiteral("%1: work file %2: %3").arg(QLatin1String(kProgram), path, problem));
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
    m_ops.Edit_addrChange(address);
    m_view.reset();
}

void CliRun::waitIdle() {
    while (m_session.runner.isBusy()) {
        QEventLoop loop;
        QObject::connect(&m_session.runner, &RequestRunner::commandEnded, &loop, &QEventLoop::quit);
        if (m_session.runner.isBusy())
            loop.exec();
    }
}

void CliRun::progress(int index) {
    if (!m_progress)
        return;
    std::fprintf(m_err, "\r%s: address %d (%d of %d)...", kProgram, m_options.addresses.at(index),
                 index + 1, int(m_options.addresses.size()));
    std::fflush(m_err);
}

// "Read type": the model comes into force for the address, as in the window.
bool CliRun::identifyNow() {
    runAndWait([this] { m_page.BitBtn24Click(); });
    return findModel(m_session.device.DeviceType) != nullptr;
}

// The model alone, from the device identification: what "Read type" learns in its fourth step,
// without the four requests around it that a read does not need.
bool CliRun::learnModel() {
    RequestRunner::Command command;
    command.name = "device identification";
    command.steps.push_back({[this](int slave) {
                                 m_session.master.SendReadDeviceId(slave, kDeviceIdCode);
                                 return true;
                             },
                             m_session.decoder(DecodeDeviceId), false});
    runAndWait([&] {
        if (m_session.checkPort())
            m_session.runner.run(command);
    });
    return findModel(m_session.device.DeviceType) != nullptr;
}

AddressResult CliRun::identify(int address) {
    AddressResult result;
    result.address = address;
    identifyNow();
    if (const auto failure = m_view.failure()) {
        result.error = failure;
        return result;
    }
    const std::optional<LoggerStatus> &status = m_page.lastStatus();
    QJsonObject json{{QStringLiteral("address"), address},
                     {QStringLiteral("model"), m_session.device.DeviceType},
                     {QStringLiteral("identification"), m_view.identification.simplified()}};
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
    json.insert(QStringLiteral("battery"), cellValue(m_view.battery, true));
    json.insert(QStringLiteral("clock"), m_view.clock);
    json.insert(QStringLiteral("pulseLength"), m_view.pulseLength);
    json.insert(QStringLiteral("language"), m_view.language);
    result.json = json;
    result.rows = {
        {QString::number(address), m_session.device.DeviceType, id, speed, parity, lock, inputs}};
    return result;
}

std::optional<QString> CliRun::runWithModel(const std::vector<std::function<void()>> &clicks) {
    if (!learnModel())
        return m_view.failure().value_or(QStringLiteral("model unknown"));
    m_view.reset();
    for (const auto &click : clicks)
        runAndWait(click);
    return m_view.failure();
}

QStringList CliRun::tableHeader(const QString &first) const {
    QStringList header{first};
    for (int input = 1; input <= m_session.state.InputCount; ++input)
        header << inputTitle(input);
    return header;
}

void CliRun::addTableRow(AddressResult &result, QJsonArray &rows, const StringGrid &table, int row,
                         bool numeric) const {
    QJsonArray values;
    QStringList line{table.cell(0, row)};
    for (int input = 1; input <= m_session.state.InputCount; ++input) {
        values.append(cellValue(table.cell(input, row), numeric));
        line << table.cell(input, row);
    }
    rows.append(QJsonObject{{QStringLiteral("row"), table.cell(0, row)},
                            {QStringLiteral("values"), values}});
    result.rows << line;
}

AddressResult CliRun::read(int address) {
    AddressResult result;
    result.address = address;
    result.error = runWithModel({[this] { m_ops.BitBtn1Click(); }});
    if (result.error)
        return result;
    const StringGrid &grid = m_session.tables.Grid_data;
    QJsonArray rows;
    result.rows << tableHeader(QStringLiteral("Parameter"));
    for (int row = 1; row <= kParameterRows; ++row)
        addTableRow(result, rows, grid, row, row != kRowUnit && row != kRowFreeText);
    result.json = QJsonObject{{QStringLiteral("address"), address},
                              {QStringLiteral("model"), m_session.device.DeviceType},
                              {QStringLiteral("parameters"), rows}};
    // From the address's slot, as the window's export writes it: the table's columns beyond
    // this model's inputs may still hold another address's texts.
    const AddressStore &store = m_session.store;
    result.csv = csvBlock(
        address, kParameterRows, [&grid](int row) { return grid.cell(0, row); },
        [&store, address](int col, int row) { return store.cell(address, col, row); },
        QStringLiteral(";"));
    return result;
}

AddressResult CliRun::counters(int address) {
    AddressResult result;
    result.address = address;
    result.error =
        runWithModel({[this] { m_ops.BitBtn6Click(); }, [this] { m_ops.BitBtn31Click(); },
                      [this] { m_ops.BitBtn28Click(); }});
    if (result.error)
        return result;
    const StringGrid &grid = m_session.tables.Grid_data2;
    QJsonArray rows;
    result.rows << tableHeader(QStringLiteral("Value"));
    for (int row = 1; row <= kCounterRows; ++row)
        addTableRow(result, rows, grid, row, true);
    addTableRow(result, rows, m_session.tables.Grid_flow, kRowFlow, true);
    const int status = m_view.inputStatus.value_or(0);
    result.rows << QStringList{QStringLiteral("Battery status"), m_view.battery}
                << QStringList{
                       QStringLiteral("Input status"),
                       QStringLiteral("0x") +
                           QStringLiteral("%1").arg(status, 2, 16, QLatin1Char('0')).toUpper()};
    result.json = QJsonObject{{QStringLiteral("address"), address},
                              {QStringLiteral("model"), m_session.device.DeviceType},
                              {QStringLiteral("counters"), rows},
                              {QStringLiteral("battery"), cellValue(m_view.battery, true)},
                              {QStringLiteral("inputStatus"), status}};
    result.csv = countersExport(grid, address, QStringLiteral(";"));
    return result;
}

AddressResult CliRun::write(int address) {
    AddressResult result;
    result.address = address;
    if (findModel(m_session.store.model(address)) == nullptr) {
        result.error = QStringLiteral("no record with a known model in %1").arg(m_options.fromFile);
        return result;
    }
    runAndWait([this] { m_ops.BitBtn2Click(); });
    // One entry per row the sequence sent or refused, with what became of it.
    QJsonArray rows;
    const auto add = [&](const QString &what, const QString &outcome) {
        rows.append(
            QJsonObject{{QStringLiteral("row"), what}, {QStringLiteral("result"), outcome}});
        result.rows << QStringList{QString::number(address), what, outcome};
    };
    QString pending;
    for (const QString &line : m_view.lines) {
        const QString text = line.trimmed();
        const auto failure = failureOfLogLine(text);
        if (text.startsWith(QLatin1String("Programming "))) {
            if (!pending.isEmpty())
                add(pending, QStringLiteral("written"));
            pending = text.mid(12).chopped(text.endsWith(QLatin1String("...")) ? 3 : 0);
        } else if (failure) {
            if (!pending.isEmpty()) {
                add(pending, *failure);
                pending.clear();
            } else {
                add(QStringLiteral("-"), *failure);
            }
            if (!result.error)
                result.error = failure;
        } else if (text == QLatin1String("Nothing selected for programming...")) {
            result.error = QStringLiteral("nothing selected for programming");
        }
    }
    if (!pending.isEmpty())
        add(pending, QStringLiteral("written"));
    for (const QString &error : m_view.errors) {
        add(QStringLiteral("-"), QStringLiteral("refused: ") + error);
        if (!result.error)
            result.error = QStringLiteral("refused: ") + error;
    }
    result.json = QJsonObject{{QStringLiteral("address"), address}, {QStringLiteral("rows"), rows}};
    // A refused row is reported in the rows; the address still counts as failed.
    if (result.error && !rows.isEmpty())
        result.json.insert(QStringLiteral("error"), *result.error);
    return result;
}

// The window sends the clock and never looks at the logger's acknowledgement. A script has to
// learn whether the logger took the time, and an acknowledgement left unread would reach the
// next program that opens the port in front of its first reply; so here the write waits for
// the acknowledgement and checks it like any other reply.
AddressResult CliRun::setClock(int address) {
    AddressResult result;
    result.address = address;
    const QDateTime time = m_options.time.value_or(QDateTime::currentDateTime());
    runAndWait([this, &time] {
        if (!m_session.checkPort())
            return;
        RequestRunner::Command clock;
        clock.name = "clock write";
        clock.noReply = RequestRunner::NoReply::Log;
        const QByteArray payload = clockPayload(time);
        clock.steps.push_back({[this, payload](int slave) {
                                   m_session.master.SendWriteClock(slave, payload);
                                   return true;
                               },
                               {},
                               true});
        m_session.runner.run(clock);
    });
    if (const auto failure = m_view.failure()) {
        result.error = failure;
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
            if (!m_session.checkPort())
                return;
            RequestRunner::Command write;
            write.name = "bus address write";
            write.noReply = RequestRunner::NoReply::Log;
            write.steps.push_back({[this](int slave) {
                                       m_session.master.SendWriteSingle(slave, kRegBusAddress,
                                                                        m_options.newAddress, 1);
                                       return true;
                                   },
                                   {},
                                   true});
            m_session.runner.run(write);
        });
        outcome = QStringLiteral("moved to %1").arg(m_options.newAddress);
    } else if (command == QLatin1String("set-line")) {
        runAndWait([this] { m_page.Button1Click(); });
        outcome = QStringLiteral("%1 %2").arg(m_options.newSpeed).arg(m_options.newParity);
    } else if (command == QLatin1String("lock")) {
        runAndWait([this] { m_page.BitBtn21Click(); });
        outcome = QStringLiteral("locked");
    } else if (command == QLatin1String("unlock")) {
        runAndWait([this] { m_page.BitBtn22Click(); });
        outcome = QStringLiteral("unlocked");
    } else if (command == QLatin1String("read-code")) {
        runAndWait([this] { m_page.Button2Click(); });
        outcome = m_view.menuCode;
    } else if (command == QLatin1String("set-code")) {
        runAndWait([this] { m_page.BitBtn20Click(); });
        outcome = QStringLiteral("set to ") + m_options.code;
    }
    if (const auto failure = m_view.failure()) {
        result.error = failure;
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
    const int code = report(results, {QStringLiteral("Address"), QStringLiteral("Speed"),
                                      QStringLiteral("Parity"), QStringLiteral("Model"),
                                      QStringLiteral("Device ID"), QStringLiteral("Inputs")});
    printLine(m_err, scan.summary());
    return code;
}

int CliRun::exportCsv() {
    if (const int code = loadInto(m_options.exportFile, false); code != CliExit::Ok)
        return code;
    AtomicFile file(m_options.csvFile);
    const QByteArray text =
        parameterExport(m_session.store, m_session.tables.Grid_data, QStringLiteral(";"));
    if (!file.open() || !file.commit(text)) {
        printLine(m_err, QStringLiteral("%1: %2 could not be written: %3")
                             .arg(QLatin1String(kProgram), m_options.csvFile,
                                  file.errorString().isEmpty()
                                      ? QStringLiteral("not a file one can create")
                                      : file.errorString()));
        return CliExit::Usage;
    }
    return CliExit::Ok;
}

// Results to stdout in the chosen format, failures to stderr, one line per address.
int CliRun::report(const QList<AddressResult> &results, const QStringList &header) {
    bool failed = false;
    QJsonArray jsonResults;
    QJsonArray jsonErrors;
    QByteArray csv;
    QList<QStringList> table{header};
    QStringList blocks;
    const bool blockPerAddress = m_options.command == QLatin1String("read") ||
                                 m_options.command == QLatin1String("counters");
    for (const AddressResult &result : results) {
        if (result.error) {
            failed = true;
            printLine(m_err, QStringLiteral("%1: address %2: %3")
                                 .arg(QLatin1String(kProgram))
                                 .arg(result.address)
                                 .arg(*result.error));
            jsonErrors.append(QJsonObject{{QStringLiteral("address"), result.address},
                                          {QStringLiteral("error"), *result.error}});
            // A write still lists the rows it got to.
            if (m_options.command != QLatin1String("write") || result.rows.isEmpty())
                continue;
        }
        jsonResults.append(result.json);
        if (blockPerAddress) {
            blocks << QStringLiteral("Address %1: %2\n")
                              .arg(result.address)
                              .arg(result.json.value(QStringLiteral("model")).toString()) +
                          alignedTable(result.rows);
            csv += result.csv;
        } else {
            table << result.rows;
        }
    }
    switch (m_options.format) {
    case CliOptions::Format::Json: {
        const QJsonObject document{{QStringLiteral("command"), m_options.command},
                                   {QStringLiteral("results"), jsonResults},
                                   {QStringLiteral("errors"), jsonErrors}};
        const QByteArray bytes = QJsonDocument(document).toJson(QJsonDocument::Indented);
        std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), m_out);
        break;
    }
    case CliOptions::Format::Csv:
        if (!blockPerAddress)
            csv = csvLines(table);
        std::fwrite(csv.constData(), 1, std::size_t(csv.size()), m_out);
        break;
    case CliOptions::Format::Text:
        if (blockPerAddress) {
            if (!blocks.isEmpty())
                printLine(m_out, blocks.join(QStringLiteral("\n\n")));
        } else if (table.size() > 1) {
            printLine(m_out, alignedTable(table));
        }
        break;
    }
    std::fflush(m_out);
    return failed ? CliExit::LoggerFailed : CliExit::Ok;
}

int CliRun::exec() {
    const QString &command = m_options.command;
    if (command == QLatin1String("export"))
        return exportCsv();
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
        m_page.BitBtn18Click(m_options.servicePassword);
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
    int code = report(results, header);

    if (command == QLatin1String("read") && !m_options.saveFile.isEmpty()) {
        AtomicFile file(m_options.saveFile);
        if (!file.open() || !file.commit(encodeWorkFile(m_session.store))) {
            printLine(m_err,
                      QStringLiteral("%1: work file %2 could not be written: %3")
                          .arg(QLatin1String(kProgram), m_options.saveFile, file.errorString()));
            code = CliExit::LoggerFailed;
        }
    }
    return code;
}

} // namespace

int runCli(const QStringList &arguments, std::FILE *out, std::FILE *err) {
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
    CliRun run(options, out, err);
    return run.exec();
}

} // namespace corvane
