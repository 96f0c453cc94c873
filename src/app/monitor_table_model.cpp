#include "monitor_table_model.h"

#include "device_model.h"
#include "value_encoding.h"

namespace corvane {

MonitorTableModel::MonitorTableModel(const MonitorRecorder &recorder,
                                     const LineStatistics &statistics,
                                     std::function<QString(int)> model, QObject *parent)
    : QAbstractTableModel(parent), m_recorder(recorder), m_statistics(statistics),
      m_model(std::move(model)) {}

void MonitorTableModel::setAddresses(const QList<int> &addresses) {
    beginResetModel();
    m_addresses = addresses;
    m_rows.clear();
    for (int row = 0; row < m_addresses.size(); ++row)
        m_rows.insert(m_addresses[row], row);
    endResetModel();
}

void MonitorTableModel::addressChanged(int address) {
    const auto it = m_rows.constFind(address);
    if (it == m_rows.constEnd())
        return;
    Q_EMIT dataChanged(index(*it, 0), index(*it, ColumnCount - 1));
}

void MonitorTableModel::statisticsChanged() {
    if (!m_addresses.isEmpty())
        Q_EMIT dataChanged(index(0, Replies), index(int(m_addresses.size()) - 1, ReplyMs));
}

int MonitorTableModel::rowCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : int(m_addresses.size());
}

int MonitorTableModel::columnCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant MonitorTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    if (section >= Pulses1 && section < Pulses1 + kMaxInputs)
        return QStringLiteral("Pulses %1").arg(section - Pulses1 + 1);
    switch (section) {
    case Address:
        return QStringLiteral("Address");
    case Model:
        return QStringLiteral("Model");
    case State:
        return QStringLiteral("State");
    case LastReading:
        return QStringLiteral("Last reading");
    case Battery:
        return QStringLiteral("Battery (V)");
    case Replies:
        return QStringLiteral("Replies");
    case Failed:
        return QStringLiteral("Failed");
    case Retries:
        return QStringLiteral("Retries");
    case ReplyMs:
        return QStringLiteral("Reply (ms)");
    default:
        return {};
    }
}

QVariant MonitorTableModel::data(const QModelIndex &index, int role) const {
    if (!index.isValid() || index.row() >= m_addresses.size())
        return {};
    const int address = m_addresses[index.row()];
    switch (role) {
    case Qt::DisplayRole:
        return cell(address, index.column(), false);
    case SortRole:
        return cell(address, index.column(), true);
    case AddressRole:
        return address;
    case Qt::TextAlignmentRole:
        return index.column() == Model || index.column() == State || index.column() == LastReading
                   ? QVariant(Qt::AlignLeft | Qt::AlignVCenter)
                   : QVariant(Qt::AlignRight | Qt::AlignVCenter);
    default:
        return {};
    }
}

QVariant MonitorTableModel::cell(int address, int column, bool sortKey) const {
    const DeviceReading *reading = m_recorder.lastGoodReading(address);
    const auto number = [sortKey](qint64 value) -> QVariant {
        return sortKey ? QVariant(value) : QVariant(QString::number(value));
    };
    // A sort key for an empty cell sorts before every value.
    const QVariant none = sortKey ? QVariant(-1.0e300) : QVariant(QString());
    if (column >= Pulses1 && column < Pulses1 + kMaxInputs) {
        const int input = column - Pulses1 + 1;
        const ModelInfo *model = reading ? findModel(reading->model) : nullptr;
        if (!reading || !model || input > model->InputCount)
            return none;
        const auto &pulses = reading->inputs[std::size_t(input - 1)].totalPulses;
        return pulses ? number(*pulses) : none;
    }
    switch (column) {
    case Address:
        return number(address);
    case Model: {
        const QString model = reading ? reading->model : m_model ? m_model(address) : QString();
        return model;
    }
    case State: {
        const MonitorState state = m_recorder.state(address);
        return sortKey ? QVariant(int(state)) : QVariant(monitorStateText(state));
    }
    case LastReading:
        if (!reading || !reading->time.isValid())
            return none;
        return sortKey ? QVariant(reading->time.toMSecsSinceEpoch())
                       : QVariant(reading->time.toLocalTime().toString(
                             QStringLiteral("yyyy-MM-dd HH:mm:ss")));
    case Battery:
        if (!reading || !reading->batteryByte)
            return none;
        return sortKey ? QVariant(*reading->batteryByte)
                       : QVariant(formatBatteryLevel(*reading->batteryByte, m_locale));
    case Replies:
        return number(m_statistics.counts(address).replies);
    case Failed:
        return number(m_statistics.counts(address).failed());
    case Retries:
        return number(m_statistics.counts(address).retries);
    case ReplyMs: {
        const auto ms = m_statistics.counts(address).medianMs;
        if (!ms)
            return none;
        return sortKey ? QVariant(*ms) : QVariant(m_locale.toString(*ms, 'f', 1));
    }
    default:
        return {};
    }
}

} // namespace corvane
