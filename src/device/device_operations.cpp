#include "device_operations.h"

#include "device_session.h"
#include "error_display.h"
#include "frames.h"
#include "payload.h"
#include "register_map.h"
#include "serial_line.h"
#include "table_rows.h"

#include <QLatin1String>

#include <algorithm>
#include <array>
#include <utility>

namespace corvane {
namespace {

using WriteGroup = ControlReader::WriteGroup;

constexpr QLatin1String kQtr4d("QTR-4D");
constexpr QLatin1String kQtr8d("QTR-8D");

constexpr int kFirstFreeTextWriteStep = 4;
constexpr std::size_t kWriteSteps = 20;

// Blocks of one register per input read by steps 1 to 7, with the table row their decoder fills.
struct WordReadStep {
    int step;
    std::uint16_t start;
    int row;
};
constexpr std::array<WordReadStep, 7> kWordReadSteps{{
    {1, kRegUnits, kRowUnit},
    {2, kRegPulseConstant, kRowPulseConstant},
    {3, kRegTariff1, kRowTariff1Start},
    {4, kRegTariff2, kRowTariff1Start + 2},
    {5, kRegTariff3, kRowTariff1Start + 4},
    {6, kRegTariff4, kRowTariff1Start + 6},
    {7, kRegUserNumber, kRowUserNumber},
}};

// Blocks of one 32-bit value per input read by steps 8 to 12.
constexpr std::array<WordReadStep, 5> kLongReadSteps{{
    {8, kRegInitialValue, kRowInitialValue},
    {9, kRegTariff1InitialValue, kRowTariff1InitialValue},
    {10, kRegTariff2InitialValue, kRowTariff1InitialValue + 1},
    {11, kRegTariff3InitialValue, kRowTariff1InitialValue + 2},
    {12, kRegTariff4InitialValue, kRowTariff4InitialValue},
}};


// Writes of whole table rows, with what each holds as the log names it: "Programming <what>...".
// The names are the logger tool's own, spelling included.
struct RowWriteStep {
    int step;
    WriteGroup group;
    int row;
    const char *what;
};
constexpr std::array<RowWriteStep, 12> kRowWriteSteps{{
    {1, WriteGroup::Unit, kRowUnit, "units"},
    {2, WriteGroup::Constant, kRowPulseConstant, "constants"},
    {3, WriteGroup::User, kRowUserNumber, "user number"},
    {12, WriteGroup::Tariffs, kRowTariff1Start, "tariff 1 start time and duration"},
    {13, WriteGroup::Tariffs, kRowTariff1Start + 2, "tariff 2 start time and duration"},
    {14, WriteGroup::Tariffs, kRowTariff1Start + 4, "tariff 3 start time and duration"},
    {15, WriteGroup::Tariffs, kRowTariff1Start + 6, "tariff 4 start time and duration"},
    {16, WriteGroup::Initial, kRowInitialValue, "total initial value"},
    {17, WriteGroup::Initial, kRowTariff1InitialValue, "intial value for tariff 1"},
    {18, WriteGroup::Initial, kRowTariff1InitialValue + 1, "intial value for tariff 2"},
    {19, WriteGroup::Initial, kRowTariff1InitialValue + 2, "intial value for tariff 3"},
    {20, WriteGroup::Initial, kRowTariff4InitialValue, "intial value for tariff 4"},
}};

QString programmingText(const QString &what) {
    return QStringLiteral("Programming ") + what + QStringLiteral("...");
}

// Inputs 5 and 6 exist on every model but the smallest, 7 and 8 only on the largest. Tested
// against the model text itself, so an unknown model sends them.
bool modelHasInput(const QString &DeviceType, int input) {
    if (input <= 4)
        return true;
    if (input <= 6)
        return DeviceType != kQtr4d;
    return DeviceType == kQtr8d;
}

// The cells one step of a read fills: rows firstRow..lastRow, of one input or (input 0) of all.
struct StepCells {
    int firstRow = 0;
    int lastRow = -1;
    int input = 0;
};

// A step that got no usable reply leaves its cells as they were: shown greyed, they don't pass
// for values just read.
std::function<void(const StepOutcome &)> greyOnMiss(StringGrid &grid,
                                                    std::vector<StepCells> cells) {
    return [&grid, cells = std::move(cells)](const StepOutcome &outcome) {
        const int step = outcome.step;
        if (outcome.verdict.accepted() || step < 1 || step > int(cells.size()))
            return;
        const StepCells &c = cells[std::size_t(step - 1)];
        const int firstCol = c.input > 0 ? c.input : 1;
        const int lastCol = c.input > 0 ? c.input : grid.gridColumnCount() - 1;
        for (int row = c.firstRow; row <= c.lastRow; ++row) {
            for (int col = firstCol; col <= lastCol; ++col)
                grid.setStale(col, row, true);
        }
    };
}

} // namespace

std::optional<QString> WriteResult::failureReason() const {
    for (const WriteRow &row : rows) {
        switch (row.outcome) {
        case WriteRow::Outcome::Written:
        case WriteRow::Outcome::Sent:
            break;
        case WriteRow::Outcome::Failed:
            return verdictReason(row.verdict);
        case WriteRow::Outcome::Refused:
            return QStringLiteral("refused: ") + row.refusal;
        }
    }
    return std::nullopt;
}

DeviceOperations::DeviceOperations(DeviceSession &session, Clock clock)
    : m_session(session), m_clock(std::move(clock)) {
    if (!m_clock)
        m_clock = [] { return QDateTime::currentDateTime(); };
    buildReadCommand();
    buildMeasureCommands();
    buildWriteCommand();
}

void DeviceOperations::buildReadCommand() {
    DeviceSession &s = m_session;
    RequestRunner::Command &read = m_read;
    read.name = "parameter read";
    read.stepTimer = RequestRunner::StepTimer::Read;
    read.window = RequestRunner::Window::Response;
    std::vector<StepCells> cells;
    for (const WordReadStep &step : kWordReadSteps) {
        cells.push_back({step.row, isTariffStartRow(step.row) ? step.row + 1 : step.row});
        read.steps.push_back(
            {[&s, start = step.start](int slave) {
                 return s.master.SendReadHolding(slave, start, s.device.InputCount);
             },
             m_session.decoder([row = step.row](const ModbusReply &r, DecodeContext &c) {
                 DecodeWordBlock(r, row, c);
             }),
             true});
    }
    for (const WordReadStep &step : kLongReadSteps) {
        cells.push_back({step.row, step.row});
        read.steps.push_back(
            {[&s, start = step.start](int slave) {
                 return s.master.SendReadHolding(slave, start, s.device.LongRegisterCount);
             },
             m_session.decoder([row = step.row](const ModbusReply &r, DecodeContext &c) {
                 DecodeLongBlock(r, LongBlockTable::Parameters, row, c);
             }),
             true});
    }
    for (int input = 1; input <= kMaxInputs; ++input) {
        cells.push_back({kRowFreeText, kRowFreeText, input});
        read.steps.push_back({[&s, input](int slave) -> std::optional<SentRequest> {
                                  if (!modelHasInput(s.device.DeviceType, input))
                                      return std::nullopt;
                                  return s.master.SendReadFileRecord(
                                      slave, kFreeTextFile, input - 1, kFreeTextRecordLength);
                              },
                              m_session.decoder([input](const ModbusReply &r, DecodeContext &c) {
                                  DecodeFreeText(r, input, c);
                              }),
                              true});
    }
    read.steps.push_back({[&s](int slave) {
                              return s.master.SendReadHolding(slave, kRegClock,
                                                              kClockRegisterCount);
                          },
                          m_session.decoder(DecodeClock), false});
    m_session.announceAndGrey(read, QStringLiteral("Reading device No. "), true,
                              DeviceView::Command::Read);
    read.finished = "Read finished";
    read.stepEnded = greyOnMiss(s.tables.Grid_data, std::move(cells));
    read.onFinished = [&s] { s.store.tableToStore(s.tables.Grid_data); };
    s.collectReading(read, DeviceReading::Kind::Parameters);
}

void DeviceOperations::buildMeasureCommands() {
    DeviceSession &s = m_session;
    // The count is read when the step runs: the model may change meanwhile.
    const auto readInput = [&s](std::uint16_t start, const std::int32_t *count) {
        return [&s, start, count](int slave) {
            return std::optional(s.master.SendReadInput(slave, start, *count));
        };
    };
    m_counters.name = "counters";
    m_counters.stepTimer = RequestRunner::StepTimer::DecodeInput;
    m_counters.window = RequestRunner::Window::Response;
    // The first window opens before the send, so it includes the send time.
    m_counters.windowBeforeSend = true;
    std::vector<StepCells> cells;
    for (const CounterBlock &step : kCounterBlocks) {
        cells.push_back({step.row, step.row});
        m_counters.steps.push_back(
            {readInput(step.start, &s.device.LongRegisterCount),
             m_session.decoder([row = step.row](const ModbusReply &r, DecodeContext &c) {
                 DecodeLongBlock(r, LongBlockTable::Measured, row, c);
             }),
             true});
    }
    m_counters.steps.push_back({readInput(kInRegBattery, &kBatteryRegisterCount),
                                m_session.decoder(DecodeBattery), false});
    m_session.announceAndGrey(m_counters, QStringLiteral("Reading device No. "), true,
                              DeviceView::Command::Counters);
    m_counters.finished = "Counters finished";
    m_counters.stepEnded = greyOnMiss(s.tables.Grid_data2, std::move(cells));

    m_flow.name = "flow";
    m_flow.steps.push_back({readInput(kInRegFlow, &s.device.LongRegisterCount),
                            m_session.decoder([](const ModbusReply &r, DecodeContext &c) {
                                DecodeLongBlock(r, LongBlockTable::Measured, kFlowBlockRow, c);
                            }),
                            true});
    m_session.announceAndGrey(m_flow, QStringLiteral("Reading flow for device No. "), false,
                              DeviceView::Command::Flow);

    m_inputStatus.name = "input status";
    m_inputStatus.windowBeforeSend = true;
    m_inputStatus.steps.push_back({readInput(kInRegInputStatus, &s.device.InputCount),
                                   m_session.decoder(DecodeInputStatus), false});
    m_session.announceAndGrey(m_inputStatus, QStringLiteral("Reading input status of device No. "),
                              true, std::nullopt);

    // Each measured-value read first clears the line's pending errors.
    for (RequestRunner::Command *command : {&m_counters, &m_flow, &m_inputStatus}) {
        command->onStart = [&s, announce = command->onStart] {
            s.env.line.InputRoom();
            announce();
        };
    }
    s.collectReading(m_counters, DeviceReading::Kind::Counters);
    s.collectReading(m_flow, DeviceReading::Kind::Flow);
    s.collectReading(m_inputStatus, DeviceReading::Kind::InputStatus);
}

void DeviceOperations::refuseWriteRow(int step, const QString &what, const QString &reason) {
    m_lastWrite.rows.push_back({step, what, WriteRow::Outcome::Refused, {}, reason});
}

// A row whose cell does not convert is shown on the error display and costs only its own step:
// nothing is sent and no window opens, so the next tick goes on.
void DeviceOperations::buildWriteCommand() {
    DeviceSession &s = m_session;
    std::vector<RequestRunner::Step> steps(kWriteSteps);
    const auto sent = [this](int step, const QString &what, const SentRequest &request) {
        // A retry sends the same row again: it was announced and recorded the first time.
        if (!m_session.runner.isRetry()) {
            m_session.env.out.log(programmingText(what));
            m_lastWrite.rows.push_back({step, what, WriteRow::Outcome::Sent, {}, {}});
        }
        return std::optional(request);
    };
    for (const RowWriteStep &step : kRowWriteSteps) {
        steps[std::size_t(step.step - 1)].send = [this, &s, step,
                                                  sent](int slave) -> std::optional<SentRequest> {
            if (!s.env.controls.isChecked(step.group))
                return std::nullopt;
            const std::optional<RowBlock> block = rowBlock(step.row);
            if (!block)
                return std::nullopt;
            const QString what = QLatin1String(step.what);
            // The register count follows the model in force at this step.
            const ModelInfo *model = findModel(s.device.DeviceType);
            const int perInput = block->longValues ? 2 : 1;
            const int count = model ? model->InputCount * perInput : 0;
            if (!writeMultipleCountAllowed(count, s.device.DeviceType)) {
                s.env.out.log(QStringLiteral("Not allowable register count!"));
                refuseWriteRow(step.step, what, QStringLiteral("not allowable register count"));
                return std::nullopt;
            }
            const PayloadResult payload =
                RowPayload(step.row, s.tables.Grid_data, count, s.decSeparator(), s.env.locale);
            if (!payload.ok) {
                refuseWriteRow(step.step, what, payload.error);
                showError(payload.error);
                return std::nullopt;
            }
            return sent(
                step.step, what,
                s.master.SendWriteMultiple(slave, block->startRegister, count, payload.bytes));
        };
    }
    for (int input = 1; input <= kMaxInputs; ++input) {
        const int step = kFirstFreeTextWriteStep + input - 1;
        steps[std::size_t(step - 1)].send = [&s, input, step,
                                             sent](int slave) -> std::optional<SentRequest> {
            if (!s.env.controls.isChecked(WriteGroup::FreeText) ||
                !modelHasInput(s.device.DeviceType, input))
                return std::nullopt;
            const std::optional<QByteArray> record =
                FreeTextRecord(input, s.tables.Grid_data, s.env.out);
            if (!record)
                return std::nullopt;
            const std::optional<SentRequest> request =
                s.master.SendWriteFileRecord(slave, kFreeTextFile, input - 1, *record);
            if (!request)
                return std::nullopt;
            return sent(step, QStringLiteral("input %1 info").arg(input), *request);
        };
    }
    // Every step clears the line's pending errors first, also one that sends nothing.
    for (RequestRunner::Step &step : steps) {
        step.send = [&s, send = std::move(step.send)](int slave) -> std::optional<SentRequest> {
            s.env.line.InputRoom();
            if (!send)
                return std::nullopt;
            return send(slave);
        };
    }
    m_write.name = "parameter write";
    m_write.steps = std::move(steps);
    m_write.stepTimer = RequestRunner::StepTimer::Write;
    m_write.window = RequestRunner::Window::ResponseProgram;
    m_write.firstStepOnTick = true;
    m_write.markReplyEnd = false;
    m_write.finished = "Write finished";
    m_write.onStart = [this, &s] {
        m_lastWrite = WriteResult();
        m_lastWrite.address = s.runner.currentAddress();
        m_lastWrite.model = s.device.DeviceType;
        m_lastWrite.time = s.now();
        s.env.out.setCommandEnabled(DeviceView::Command::Write, false);
    };
    m_write.stepEnded = [this](const StepOutcome &outcome) {
        for (WriteRow &row : m_lastWrite.rows) {
            if (row.step != outcome.step || row.outcome != WriteRow::Outcome::Sent)
                continue;
            row.outcome =
                outcome.verdict.accepted() ? WriteRow::Outcome::Written : WriteRow::Outcome::Failed;
            row.verdict = outcome.verdict;
        }
    };
    m_write.onEnd = [this, &s] {
        m_lastWrite.stopped = s.runner.lastSummary().stopped();
        s.env.out.setCommandEnabled(DeviceView::Command::Write, true);
    };
}

CommandStart DeviceOperations::startWithModel(const RequestRunner::Command &command) {
    const CommandStart checked = m_session.portAndModelCheck();
    return checked == CommandStart::Started ? m_session.start(command) : checked;
}

CommandStart DeviceOperations::readParameters() {
    return startWithModel(m_read);
}

CommandStart DeviceOperations::writeParameters() {
    const CommandStart checked = m_session.portAndModelCheck();
    if (checked != CommandStart::Started)
        return checked;
    const ControlReader &controls = m_session.env.controls;
    const std::array<WriteGroup, 6> groups{WriteGroup::Unit,    WriteGroup::Constant,
                                           WriteGroup::User,    WriteGroup::FreeText,
                                           WriteGroup::Tariffs, WriteGroup::Initial};
    const bool anything = std::any_of(groups.begin(), groups.end(), [&controls](WriteGroup group) {
        return controls.isChecked(group);
    });
    if (!anything) {
        m_session.env.out.log(QStringLiteral("Nothing selected for programming..."));
        return CommandStart::InputRefused;
    }
    return m_session.start(m_write);
}

CommandStart DeviceOperations::readCounters() {
    return startWithModel(m_counters);
}

CommandStart DeviceOperations::readFlow() {
    return startWithModel(m_flow);
}

CommandStart DeviceOperations::readInputStatus() {
    return startWithModel(m_inputStatus);
}

// No window is opened for the reply: it reaches the traffic log and is not looked at. Refused
// while another request is in flight, since that reply would join the running step's.
CommandStart DeviceOperations::setClock() {
    if (!m_session.checkPort())
        return CommandStart::PortClosed;
    RequestRunner::Command clock;
    clock.name = "clock write";
    clock.window = RequestRunner::Window::None;
    const QByteArray payload = clockPayload(m_clock());
    clock.steps.push_back(
        {[this, payload](int slave) { return m_session.master.SendWriteClock(slave, payload); },
         {},
         true});
    // The line follows a request that went out; a send that fails shows its error instead.
    CommandStart started = CommandStart::Started;
    runGuarded([&] {
        if (!m_session.runner.run(clock)) {
            started = CommandStart::Busy;
            return;
        }
        m_session.env.out.log(QStringLiteral("Programming current time and date..."));
    });
    return started;
}

QString DeviceOperations::statusClockText(const QDateTime &now, const QLocale &locale) {
    return QString(12, QLatin1Char(' ')) + locale.toString(now.time(), QLocale::LongFormat) +
           QStringLiteral(",   ") + locale.toString(now.date(), QLocale::ShortFormat);
}

void DeviceOperations::showPcClock() {
    runGuarded([this] {
        m_session.env.out.setStatus(StatusPanel::Clock,
                                    statusClockText(m_clock(), m_session.env.locale));
    });
}

void DeviceOperations::selectAddress(int newAddress) {
    runGuarded([this, newAddress] {
        if (!AddressStore::isValidAddress(newAddress))
            return;
        DeviceSession &s = m_session;
        s.store.tableToStore(s.tables.Grid_data);
        s.device.DeviceType = s.store.model(newAddress);
        if (const ModelInfo *model = findModel(s.device.DeviceType))
            applyModelLayout(*model, s.tables.Grid_data, s.tables.Grid_data2, s.device, s.env.out);
        s.env.out.showModel(s.device.DeviceType);
        s.store.storeToTable(newAddress, s.tables.Grid_data);
        s.tables.Grid_data2.clearContents();
        s.store.HighestAddress = std::max(s.store.HighestAddress, newAddress);
        s.store.CurrentAddress = newAddress;
    });
}

void DeviceOperations::adoptModel(int address, const QString &model) {
    runGuarded([&] {
        DeviceSession &s = m_session;
        if (!AddressStore::isValidAddress(address))
            return;
        s.store.setModel(address, model.left(kModelTextLength));
        if (s.selectedAddress() != address)
            return;
        s.device.DeviceType = model;
        s.env.out.showModel(model);
        if (const ModelInfo *info = findModel(model))
            applyModelLayout(*info, s.tables.Grid_data, s.tables.Grid_data2, s.device, s.env.out);
    });
}

void DeviceOperations::resetForStartup() {
    DeviceSession &s = m_session;
    s.state.RxBuffer.clear();
    s.store.clear();
    s.device.DeviceType.clear();
    s.device.InputCount = 0;
    s.device.LongRegisterCount = 0;
    s.env.out.showModel(QString());
    s.store.HighestAddress = AddressStore::kFirstAddress;
    const int selected = s.selectedAddress();
    s.store.CurrentAddress =
        AddressStore::isValidAddress(selected) ? selected : AddressStore::kFirstAddress;
}

} // namespace corvane
