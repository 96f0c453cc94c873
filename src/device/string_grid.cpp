#include "string_grid.h"

#include <algorithm>

namespace corvane {

StringGrid::StringGrid(int columnCapacity, int gridRows, bool editable, QObject *parent)
    : QAbstractTableModel(parent), m_capacity(std::max(1, columnCapacity)),
      m_rows(std::max(1, gridRows)), m_visibleColumns(m_capacity), m_editable(editable) {
    m_cells.resize(qsizetype(m_capacity) * m_rows);
    m_stale.resize(m_cells.size());
}

void StringGrid::setGridColumnCount(int columns) {
    columns = std::clamp(columns, 1, m_capacity);
    if (columns == m_visibleColumns)
        return;
    // Model columns exclude the title column, so grid column c is model column c - 1.
    if (columns > m_visibleColumns) {
        beginInsertColumns(QModelIndex(), m_visibleColumns - 1, columns - 2);
        m_visibleColumns = columns;
        endInsertColumns();
    } else {
        beginRemoveColumns(QModelIndex(), columns - 1, m_visibleColumns - 2);
        m_visibleColumns = columns;
        endRemoveColumns();
    }
}

bool StringGrid::inStorage(int col, int row) const {
    return col >= 0 && col < m_capacity && row >= 0 && row < m_rows;
}

QString StringGrid::cell(int col, int row) const {
    if (!inStorage(col, row))
        return {};
    return m_cells.at(offset(col, row));
}

void StringGrid::setCell(int col, int row, const QString &text) {
    if (!inStorage(col, row))
        return;
    setStale(col, row, false);
    QString &stored = m_cells[offset(col, row)];
    if (stored == text)
        return;
    stored = text;
    if (col >= m_visibleColumns)
        return;
    if (row == 0 && col > 0) {
        Q_EMIT headerDataChanged(Qt::Horizontal, col - 1, col - 1);
    } else if (col == 0 && row > 0) {
        Q_EMIT headerDataChanged(Qt::Vertical, row - 1, row - 1);
    } else if (row > 0 && col > 0) {
        const QModelIndex changed = index(row - 1, col - 1);
        Q_EMIT dataChanged(changed, changed, {Qt::DisplayRole, Qt::EditRole});
    }
}

void StringGrid::clearContents() {
    for (int row = 1; row < m_rows; ++row) {
        for (int col = 1; col < m_capacity; ++col) {
            m_cells[offset(col, row)].clear();
            m_stale[offset(col, row)] = false;
        }
    }
    if (m_rows > 1 && m_visibleColumns > 1) {
        Q_EMIT dataChanged(index(0, 0), index(m_rows - 2, m_visibleColumns - 2),
                           {Qt::DisplayRole, Qt::EditRole, Qt::ForegroundRole});
    }
}

void StringGrid::setStale(int col, int row, bool stale) {
    if (!inStorage(col, row) || col == 0 || row == 0 || m_stale[offset(col, row)] == stale)
        return;
    m_stale[offset(col, row)] = stale;
    if (col < m_visibleColumns) {
        const QModelIndex changed = index(row - 1, col - 1);
        Q_EMIT dataChanged(changed, changed, {Qt::ForegroundRole});
    }
}

bool StringGrid::isStale(int col, int row) const {
    return inStorage(col, row) && m_stale.at(offset(col, row));
}

int StringGrid::rowCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : m_rows - 1;
}

int StringGrid::columnCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : m_visibleColumns - 1;
}

QVariant StringGrid::data(const QModelIndex &index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid))
        return {};
    if (role == Qt::ForegroundRole)
        return isStale(index.column() + 1, index.row() + 1) ? m_staleForeground : QVariant();
    if (role != Qt::DisplayRole && role != Qt::EditRole)
        return {};
    return cell(index.column() + 1, index.row() + 1);
}

bool StringGrid::setData(const QModelIndex &index, const QVariant &value, int role) {
    if (!m_editable || role != Qt::EditRole || !checkIndex(index, CheckIndexOption::IndexIsValid))
        return false;
    setCell(index.column() + 1, index.row() + 1, value.toString());
    return true;
}

QVariant StringGrid::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole || section < 0)
        return {};
    if (orientation == Qt::Horizontal)
        return section + 1 < m_visibleColumns ? QVariant(cell(section + 1, 0)) : QVariant();
    return section + 1 < m_rows ? QVariant(cell(0, section + 1)) : QVariant();
}

Qt::ItemFlags StringGrid::flags(const QModelIndex &index) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid))
        return Qt::NoItemFlags;
    Qt::ItemFlags result = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (m_editable)
        result |= Qt::ItemIsEditable;
    return result;
}

} // namespace corvane
