#pragma once

#include <QAbstractTableModel>
#include <QList>
#include <QString>
#include <QStringList>

namespace corvane {

// A table of texts addressed like a string grid: cell(col, row), with row 0 and column 0
// holding the titles. As an item model it shows the cells below and right of the titles, and
// the titles as header data, so a view can present it with its own headers.
//
// The grid keeps storage for its full width. Narrowing it hides columns without forgetting
// their texts; widening shows them again.
class StringGrid : public QAbstractTableModel {
    Q_OBJECT
public:
    StringGrid(int columnCapacity, int gridRows, bool editable, QObject *parent = nullptr);

    // Columns and rows as a string grid counts them, the title column and row included.
    int gridColumnCount() const { return m_visibleColumns; }
    int gridRowCount() const { return m_rows; }
    int columnCapacity() const { return m_capacity; }
    // Clamped to 1 .. columnCapacity().
    void setGridColumnCount(int columns);

    // Outside the storage a cell reads as empty and ignores writes.
    QString cell(int col, int row) const;
    void setCell(int col, int row, const QString &text);
    // Empties every cell outside the title row and column, hidden columns included.
    void clearContents();

    // A stale cell holds a value older than the read that should have renewed it. Writing the
    // cell, by a read or an edit, makes it fresh again.
    void setStale(int col, int row, bool stale);
    bool isStale(int col, int row) const;
    // What Qt::ForegroundRole gives for a stale cell (a grey brush); nothing by default.
    void setStaleForeground(const QVariant &foreground) { m_staleForeground = foreground; }

    bool isEditable() const { return m_editable; }

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

private:
    bool inStorage(int col, int row) const;
    int offset(int col, int row) const { return row * m_capacity + col; }

    int m_capacity;
    int m_rows;
    int m_visibleColumns;
    bool m_editable;
    QStringList m_cells;
    QList<bool> m_stale;
    QVariant m_staleForeground;
};

} // namespace corvane
