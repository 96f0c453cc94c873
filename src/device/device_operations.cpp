#include "device_operations.h"

#include "device_session.h"
#include "error_display.h"
#include "output.h"
#include "payload.h"
#include "register_map.h"
#include "table_rows.h"

#include <QLatin1String>

#include <algorithm>
#include <array>
#include <utility>

namespace corvane {
namespace {

const QString kCheckUnit = QStringLiteral("Check_unit");
const QString kCheckConstant = QStringLiteral("Check_constant");
const QString kCheckUser = QStringLiteral("Check_user");
const QString kCheckInfo = QStringLiteral("Check_info");
const QString kCheckTariffs = QStringLiteral("Check_tariffs");
const QString kCheckInitial = QStringLiteral("Check_initial");

constexpr QLatin1String kQtr4d("QTR-4D");
constexpr QLatin1String kQtr8d("QTR-8D");

constexpr int kFirstFreeTextReadStep = 13;
constexpr int kFirstFreeTextWriteStep = 4;
constexpr int kClockReadStep = 21;

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

// Counter blocks of the counters sequence, with the Grid_data2 row their decoder fills.
constexpr std::array<WordReadStep, 6> kCounterSteps{{
    {1, kInRegTotalPulses, kRowTotalPulses},
    {2, kInRegTariff1Pulses, kRowTariff1Pulses},
    {3, kInRegTariff2Pulses, kRowTariff1Pulses + 1},
    {4, kInRegTariff3Pulses, kRowTariff1Pulses + 2},
    {5, kInRegTariff4Pulses, kRowTariff4Pulses},
    {6, kInRegConsumption, kRowTotalConsumption},
}};
constexpr int kBatteryStep = 7;

// Writes of whole table rows. The messages are the logger tool's own, spelling included.
struct RowWriteStep {
    int step;
    const QString *checkBox;
    int row;
    const char *message;
};
const std::array<RowWriteStep, 12> kRowWriteSteps{{
    {1, &kCheckUnit, kRowUnit, "Programming units..."},
    {2, &kCheckConstant, kRowPulseConstant, "Programming constants..."},
    {3, &kCheckUser, kRowUserNumber, "Programming user number..."},
    {12, &kCheckTariffs, kRowTariff1Start, "Programming tariff 1 start time and duration..."},
    {13, &kCheckTariffs, kRowTariff1Start + 2, "Programming tariff 2 start time and duration..."},
    {14, &kCheckTariffs, kRowTariff1Start + 4, "Programming tariff 3 start time and duration..."},
    {15, &kCheckTariffs, kRowTariff1Start + 6, "Programming tariff 4 start time and duration..."},
    {16, &kCheckInitial, kRowInitialValue, "Programming total initial value..."},
    {17, &kCheckInitial, kRowTariff1InitialValue, "Programming intial value for tariff 1..."},
    {18, &kCheckInitial, kRowTariff1InitialValue + 1, "Programming intial value for tariff 2..."},
    {19, &kCheckInitial, kRowTariff1InitialValue + 2, "Programming intial value for tariff 3..."},
    {20, &kCheckInitial, kRowTariff4InitialValue, "Programming intial value for tariff 4..."},
}};

// Inputs 5 and 6 exist on every model but the smallest, 7 and 8 only on the largest. Tested
// against the model text itself, so an unknown model sends them.
bool modelHasInput(const QString &DeviceType, int input) {
    if (input <= 4)
        return true;
    if (input <= 6)
        return DeviceType != kQtr4d;
    return DeviceType == kQtr8d;
}

} // namespace

DeviceOperations::DeviceOperations(DeviceSession &session, Clock clock)
    : m_session(session), m_clock(std::move(clock)) {
    if (!m_clock)
        m_clock = [] { return QDateTime::currentDateTime(); };
    registerReadSteps();
    registerMeasureSteps();
    registerWriteSteps();
    m_session.engine.setReadFinished(
        [this] { m_session.store.tableToStore(m_session.tables.Grid_data); });
}

void DeviceOperations::registerReadSteps() {
    DeviceSession &s = m_session;
    for (const WordReadStep &step : kWordReadSteps) {
        s.engine.setReadStep(
            step.step,
            [&s, start = step.start](int slave) {
                s.master.SendReadHolding(slave, start, s.state.InputCount);
                return true;
            },
            [&s, row = step.row](const QByteArray &reply) {
                DecodeContext ctx = s.decodeContext();
                DecodeWordBlock(reply, row, ctx);
            });
    }
    for (const WordReadStep &step : kLongReadSteps) {
        s.engine.setReadStep(
            step.step,
            [&s, start = step.start](int slave) {
                s.master.SendReadHolding(slave, start, s.state.LongRegisterCount);
                return true;
            },
            [&s, row = step.row](const QByteArray &reply) {
                DecodeContext ctx = s.decodeContext();
                DecodeLongBlock(reply, row, ctx);
            });
    }
    for (int input = 1; input <= kMaxInputs; ++input) {
        s.engine.setReadStep(
            kFirstFreeTextReadStep + input - 1,
            [&s, input](int slave) {
                if (!modelHasInput(s.device.DeviceType, input))
                    return false;
                s.master.SendReadFileRecord(slave, kFreeTextFile, input - 1, kFreeTextRecordLength);
                return true;
            },
            [&s, input](const QByteArray &reply) {
                DecodeContext ctx = s.decodeContext();
                DecodeFreeText(reply, input, ctx);
            });
    }
    s.engine.setReadStep(
        kClockReadStep,
        [&s](int slave) {
            s.master.SendReadHolding(slave, kRegClock, kClockRegisterCount);
            return true;
        },
        [&s](const QByteArray &reply) {
            DecodeContext ctx = s.decodeContext();
            DecodeClock(reply, ctx);
        });
}

void DeviceOperations::registerMeasureSteps() {
    DeviceSession &s = m_session;
    for (const WordReadStep &step : kCounterSteps) {
        s.engine.setMeasureStep(
            step.step,
            [&s, start = step.start](int slave) {
                s.master.SendReadInput(slave, start, s.state.LongRegisterCount);
                return true;
            },
            [&s, row = step.row](const QByteArray &reply) {
                DecodeContext ctx = s.decodeContext();
                DecodeLongBlock(reply, row, ctx);
            });
    }
    s.engine.setMeasureStep(
        kBatteryStep,
        [&s](int slave) {
            s.master.SendReadInput(slave, kInRegBattery, kBatteryRegisterCount);
            return true;
        },
        [&s](const QByteArray &reply) {
            DecodeContext ctx = s.decodeContext();
            DecodeBattery(reply, ctx);
        });
    s.engine.setMeasureStep(
        TransactionEngine::kInputStatusStep,
        [&s](int slave) {
            s.master.SendReadInput(slave, kInRegInputStatus, s.state.InputCount);
            return true;
        },
        [&s](const QByteArray &reply) {
            DecodeContext ctx = s.decodeContext();
            DecodeInputStatus(reply, ctx);
        });
    s.engine.setMeasureStep(
        TransactionEngine::kFlowStep,
        [&s](int slave) {
            s.master.SendReadInput(slave, kInRegFlow, s.state.LongRegisterCount);
            return true;
        },
        [&s](const QByteArray &reply) {
            DecodeContext ctx = s.decodeContext();
            DecodeLongBlock(reply, kFlowBlockRow, ctx);
        });
}

// A row whose cell does not convert is shown on the error display and costs only its own step:
// nothing is sent and no window opens, so the next tick goes on.
void DeviceOperations::registerWriteSteps() {
    DeviceSession &s = m_session;
    for (const RowWriteStep &step : kRowWriteSteps) {
        s.engine.setWriteStep(step.step, [&s, step](int slave) {
            if (!s.env.controls.isChecked(*step.checkBox))
                return false;
            const std::optional<RowBlock> block = rowBlock(step.row);
            if (!block)
                return false;
            // The register count follows the model in force at this step.
            const ModelInfo *model = findModel(s.device.DeviceType);
            const int perInput = block->longValues ? 2 : 1;
            const int count = model ? model->InputCount * perInput : 0;
            const PayloadResult payload =
                RowPayload(step.row, s.tables.Grid_data, count, s.decSeparator(), s.env.locale);
            if (!payload.ok) {
                showError(payload.error);
                return false;
            }
            if (!s.master.SendWriteMultiple(slave, block->startRegister, count, payload.bytes))
                return false;
            s.env.out.log(QLatin1String(step.message));
            return true;
        });
    }
    for (int input = 1; input <= kMaxInputs; ++input) {
        s.engine.setWriteStep(kFirstFreeTextWriteStep + input - 1, [&s, input](int slave) {
            if (!s.env.controls.isChecked(kCheckInfo) || !modelHasInput(s.device.DeviceType, input))
                return false;
            const std::optional<QByteArray> record =
                FreeTextRecord(input, s.tables.Grid_data, s.env.out);
            if (!record)
                return false;
            if (!s.master.SendWriteFileRecord(slave, kFreeTextFile, input - 1, *record))
                return false;
            s.env.out.log(QStringLiteral("Programming input %1 info...").arg(input));
            return true;
        });
    }
}

void DeviceOperations::BitBtn1Click() {
    runGuarded([this] {
        if (m_session.checkPortAndModel())
            m_session.engine.startRead();
    });
}

void DeviceOperations::BitBtn2Click() {
    runGuarded([this] {
        if (!m_session.checkPortAndModel())
            return;
        const ControlReader &controls = m_session.env.controls;
        const std::array<const QString *, 6> boxes{&kCheckUnit, &kCheckConstant, &kCheckUser,
                                                   &kCheckInfo, &kCheckTariffs,  &kCheckInitial};
        const bool anything =
            std::any_of(boxes.begin(), boxes.end(),
                        [&controls](const QString *box) { return controls.isChecked(*box); });
        if (!anything) {
            m_session.env.out.log(QStringLiteral("Nothing selected for programming..."));
            return;
        }
        m_session.engine.startWrite();
    });
}

void DeviceOperations::BitBtn6Click() {
    runGuarded([this] {
        if (m_session.checkPortAndModel())
            m_session.engine.startCounters();
    });
}

void DeviceOperations::BitBtn31Click() {
    runGuarded([this] {
        if (m_session.checkPortAndModel())
            m_session.engine.startFlow();
    });
}

void DeviceOperations::BitBtn28Click() {
    runGuarded([this] {
        if (m_session.checkPortAndModel())
            m_session.engine.startInputStatus();
    });
}

// No window is opened for the reply: it lands in RxBuffer and the traffic log and is not looked
// at. Refused while another request is in flight, since that reply would join the running step's.
void DeviceOperations::BitBtn10Click() {
    runGuarded([this] {
        if (!m_session.checkPort() || m_session.engine.refuseIfBusy())
            return;
        m_session.master.SendWriteClock(m_session.selectedAddress(), clockPayload(m_clock()));
        m_session.env.out.log(QStringLiteral("Programming current time and date..."));
    });
}

QString DeviceOperations::statusClockText(const QDateTime &now, const QLocale &locale) {
    return QString(12, QLatin1Char(' ')) + locale.toString(now.time(), QLocale::LongFormat) +
           QStringLiteral(",   ") + locale.toString(now.date(), QLocale::ShortFormat);
}

void DeviceOperations::Timer_timeTimer() {
    runGuarded([this] {
        m_session.env.out.setStatus(StatusPanel::Clock,
                                    statusClockText(m_clock(), m_session.env.locale));
    });
}

void DeviceOperations::Edit_addrChange(int newAddress) {
    runGuarded([this, newAddress] {
        if (!AddressStore::isValidAddress(newAddress))
            return;
        DeviceSession &s = m_session;
        s.store.tableToStore(s.tables.Grid_data);
        s.device.DeviceType = s.store.model(newAddress);
        if (const ModelInfo *model = findModel(s.device.DeviceType))
            applyModelLayout(*model, s.tables.Grid_data, s.tables.Grid_data2, s.state, s.env.out);
        const QString label = deviceTypeLabel(s.device.DeviceType);
        s.env.out.setText(QStringLiteral("Label24"), label);
        s.env.out.setText(QStringLiteral("Label21"), label);
        s.store.storeToTable(newAddress, s.tables.Grid_data);
        s.tables.Grid_data2.clearContents();
        s.store.HighestAddress = std::max(s.store.HighestAddress, newAddress);
        s.store.CurrentAddress = newAddress;
    });
}

void DeviceOperations::resetForStartup() {
    DeviceSession &s = m_session;
    s.state.RxBuffer.clear();
    s.state.MeasureStep = 0;
    s.store.clear();
    s.device.DeviceType.clear();
    s.state.InputCount = 0;
    s.state.LongRegisterCount = 0;
    s.env.out.setText(QStringLiteral("Label24"), deviceTypeLabel(QString()));
    s.store.HighestAddress = AddressStore::kFirstAddress;
    const int selected = s.selectedAddress();
    s.store.CurrentAddress =
        AddressStore::isValidAddress(selected) ? selected : AddressStore::kFirstAddress;
}

} // namespace corvane
