#include "listen_table_model.h"

#include "exchange_format.h"

namespace corvane {

ListenTableModel::ListenTableModel(QObject *parent) : QAbstractTableModel(parent) {}

void ListenTableModel::add(const HeardExchange &exchange, const QDateTime &time) {
    Row row{time, exchange, describeExchange(exchange)};
    if (!m_paused) {
        append(std::move(row));
        return;
    }
    m_held.push_back(std::move(row));
    if (m_held.size() > std::size_t(kRowLimit))
        m_held.pop_front();
}

void ListenTableModel::append(Row row) {
    if (m_rows.size() >= std::size_t(kRowLimit)) {
        beginRemoveRows({}, 0, 0);
        m_rows.pop_front();
        endRemoveRows();
    }
    const int at = int(m_rows.size());
    beginInsertRows({}, at, at);
    m_rows.push_back(std::move(row));
    endInsertRows();
}

void ListenTableModel::setPaused(bool paused) {
    m_paused = paused;
    if (paused)
        return;
    std::deque<Row> held;
    held.swap(m_held);
    for (Row &row : held)
        append(std::move(row));
}

void ListenTableModel::clear() {
    beginResetModel();
    m_rows.clear();
    m_held.clear();
    endResetModel();
}

QByteArray ListenTableModel::csv() const {
    QByteArray bytes = exchangeCsvHeader();
    for (const Row &row : m_rows)
        bytes += exchangeCsvRow(row.exchange, row.description, row.time);
    return bytes;
}

int ListenTableModel::rowCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : int(m_rows.size());
}

int ListenTableModel::columnCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant ListenTableModel::data(const QModelIndex &index, int role) const {
    if (!index.isValid() || index.row() >= int(m_rows.size()))
        return {};
    const Row &row = m_rows[std::size_t(index.row())];
    if (role == Qt::TextAlignmentRole) {
        const bool number = index.column() == Address || index.column() == ReplyMs;
        return QVariant::fromValue(number ? Qt::AlignRight | Qt::AlignVCenter
                                          : Qt::AlignLeft | Qt::AlignVCenter);
    }
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole)
        return {};
    const bool noise = row.exchange.verdict == HeardExchange::Verdict::Noise;
    switch (index.column()) {
    case Time:
        return row.time.toString(QStringLiteral("HH:mm:ss.zzz"));
    case Address:
        return noise ? QString() : QString::number(row.exchange.address());
    case What:
        return row.description.what;
    case Values:
        return valuesText(row.description.values);
    case Verdict:
        return verdictText(row.exchange);
    case ReplyMs:
        return replyMsText(row.exchange);
    default:
        return {};
    }
}

QVariant ListenTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case Time:
        return QStringLiteral("Time");
    case Address:
        return QStringLiteral("Address");
    case What:
        return QStringLiteral("What");
    case Values:
        return QStringLiteral("Values");
    case Verdict:
        return QStringLiteral("Verdict");
    case ReplyMs:
        return QStringLiteral("Reply ms");
    default:
        return {};
    }
}

} // namespace corvane
