#pragma once

#include "cli_monitor.h"
#include "cli_options.h"
#include "cli_report.h"
#include "cli_view.h"
#include "device_operations.h"
#include "device_session.h"
#include "error_display.h"
#include "ser_comm.h"
#include "service_page.h"

#include <QHash>
#include <QList>
#include <QStringList>

#include <cstdio>
#include <functional>
#include <optional>
#include <vector>

namespace corvane {

// The service page's entries and the write's check boxes, as the command line gives them.
class CliControls : public ControlReader {
public:
    QString text(Field field) const override { return fields.value(field); }
    bool isChecked(WriteGroup group) const override { return groups.contains(group); }
    QHash<Field, QString> fields;
    QList<WriteGroup> groups;
};

// One run of corvane-cli: the port, a session of the window's core on it, and the command for
// each address. What happened at an address is told by the step outcomes of the runner and the
// readings and write result of the operations; the operator log only goes to its sink.
class CliRun {
public:
    CliRun(const CliOptions &options, std::FILE *out, std::FILE *err, LogSink operatorLog);
    ~CliRun();
    CliRun(const CliRun &) = delete;
    CliRun &operator=(const CliRun &) = delete;

    int exec();

private:
    int openPort();
    int loadInto(const QString &path, bool mayBeMissing);
    // A fresh address: the selector moves there, and its outcomes and errors start empty.
    void select(int address);
    void waitIdle();
    // Runs one operation of the session and waits until the runner is idle again. A refusal
    // before anything was sent is a failure of the address.
    void runAndWait(const std::function<CommandStart()> &operation);
    // The first failure since select(): a refusal, a rejected or missing reply, then what the
    // error display was given, then a request that could not be sent.
    std::optional<QString> failure() const;
    bool learnModel();
    // The model first, then the operations; the first failure of them all, if any.
    std::optional<QString> runWithModel(const std::vector<std::function<CommandStart()>> &ops);
    void progress(int index);

    AddressResult identify(int address);
    AddressResult read(int address);
    AddressResult counters(int address);
    AddressResult write(int address);
    AddressResult setClock(int address);
    AddressResult setClockTo(int address, const QDateTime &time);
    AddressResult mqttCommand(const MqttCommand &command);
    AddressResult service(int address);
    // A command of one request whose acknowledgement is waited for and checked.
    CommandStart sendAcknowledged(const char *name,
                                  const std::function<SentRequest(int slave)> &send);
    int scan();
    int exportCsv();
    // Before the port opens, the monitor's own checks; then its run.
    int monitor();
    std::optional<MonitoredLogger> prepareMonitored(int address);
    // The monitor is told to end while an address is prepared.
    void stopPreparing();
    // The outcomes and errors gathered so far belong to nobody any more.
    void forgetOutcomes();
    // The port's device went away: the line that says so.
    std::optional<QString> lostLine() const;

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
    // Of the address being worked on.
    QList<StepOutcome> m_outcomes;
    QStringList m_errors;
    std::optional<CommandStart> m_refusal;
    // The port's device went away (a gateway that closed the connection, a pulled adapter).
    bool m_lost = false;
    // SIGINT or SIGTERM: the request in flight is finished, and nothing more is started.
    bool m_stopping = false;
};

} // namespace corvane
