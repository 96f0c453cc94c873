#pragma once

#include "bus_description.h"
#include "bus_exchange.h"

#include <QAbstractTableModel>
#include <QByteArray>
#include <QDateTime>

#include <deque>

namespace corvane {

// The live exchanges of "Listen to the line": a row per exchange or run of noise, newest last,
// the latest kRowLimit kept. While paused, what is heard waits (as many again at most) and joins
// the rows when the pause ends, so a pause only holds the view still.
class ListenTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { Time, Address, What, Values, Verdict, ReplyMs, ColumnCount };
    static constexpr int kRowLimit = 10000;

    explicit ListenTableModel(QObject *parent = nullptr);

    void add(const HeardExchange &exchange, const QDateTime &time);
    void setPaused(bool paused);
    bool isPaused() const { return m_paused; }
    // What waits for the pause to end.
    int heldCount() const { return int(m_held.size()); }
    // Empties the rows and what waits.
    void clear();
    // The rows shown, as a CSV file: the command line's CSV of the same exchanges.
    QByteArray csv() const;

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    struct Row {
        QDateTime time;
        HeardExchange exchange;
        ExchangeDescription description;
    };
    void append(Row row);

    std::deque<Row> m_rows;
    std::deque<Row> m_held;
    bool m_paused = false;
};

} // namespace corvane
