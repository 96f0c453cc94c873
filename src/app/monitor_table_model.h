#pragma once

#include "line_statistics.h"
#include "monitor_recorder.h"

#include <QAbstractTableModel>
#include <QHash>
#include <QList>
#include <QLocale>

#include <functional>

namespace corvane {

// The monitor table: a row per watched address with its model, its state in words, its last
// whole reading (time, battery, total pulses per input) and its line statistics. The recorder
// and the statistics are read when a row is shown, so a reading only marks its row as changed.
// Every cell also has a sort key (SortRole): numbers sort as numbers, an empty cell first.
class MonitorTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column {
        Address,
        Model,
        State,
        LastReading,
        Battery,
        Pulses1,
        Replies = Pulses1 + kMaxInputs,
        Failed,
        Retries,
        ReplyMs,
        ColumnCount
    };
    static constexpr int SortRole = Qt::UserRole + 1;
    // The address of a row, in every column.
    static constexpr int AddressRole = Qt::UserRole + 2;

    // model: the model in force for an address, for one not read yet.
    MonitorTableModel(const MonitorRecorder &recorder, const LineStatistics &statistics,
                      std::function<QString(int address)> model, QObject *parent = nullptr);

    void setLocale(const QLocale &locale) { m_locale = locale; }
    void setAddresses(const QList<int> &addresses);
    const QList<int> &addresses() const { return m_addresses; }
    // Its reading or its statistics have changed.
    void addressChanged(int address);
    // The statistics were reset.
    void statisticsChanged();

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    QVariant cell(int address, int column, bool sortKey) const;

    const MonitorRecorder &m_recorder;
    const LineStatistics &m_statistics;
    std::function<QString(int)> m_model;
    QLocale m_locale;
    QList<int> m_addresses;
    QHash<int, int> m_rows;
};

} // namespace corvane
