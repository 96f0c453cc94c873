#include "line_statistics_dialog.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace corvane {

LineStatisticsDialog::LineStatisticsDialog(LineStatistics &statistics,
                                           std::function<void(const QString &)> copy,
                                           QWidget *parent)
    : QDialog(parent), m_statistics(statistics), m_copy(std::move(copy)) {
    setObjectName(QStringLiteral("FormStatistics"));
    setWindowTitle(QStringLiteral("Line statistics"));
    const QStringList titles = LineStatistics::columnTitles();
    Grid_statistics = new QTableWidget(0, int(titles.size()), this);
    Grid_statistics->setObjectName(QStringLiteral("Grid_statistics"));
    Grid_statistics->setAccessibleName(QStringLiteral("Line statistics"));
    Grid_statistics->setHorizontalHeaderLabels(titles);
    Grid_statistics->verticalHeader()->hide();
    Grid_statistics->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Grid_statistics->setSelectionBehavior(QAbstractItemView::SelectRows);
    Grid_statistics->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    Button_reset = new QPushButton(QStringLiteral("Reset"), this);
    Button_reset->setObjectName(QStringLiteral("Button_reset"));
    Button_copy = new QPushButton(QStringLiteral("Copy"), this);
    Button_copy->setObjectName(QStringLiteral("Button_copy"));
    Button_close = new QPushButton(QStringLiteral("Close"), this);
    Button_close->setObjectName(QStringLiteral("Button_close"));
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(Button_reset);
    buttons->addWidget(Button_copy);
    buttons->addStretch();
    buttons->addWidget(Button_close);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(Grid_statistics);
    layout->addLayout(buttons);
    resize(900, 320);

    m_refresh.setSingleShot(true);
    m_refresh.setInterval(250);
    connect(&m_refresh, &QTimer::timeout, this, &LineStatisticsDialog::refresh);
    connect(Button_reset, &QPushButton::clicked, this, [this] {
        m_statistics.reset();
        refresh();
        Q_EMIT statisticsReset();
    });
    connect(Button_copy, &QPushButton::clicked, this, [this] {
        if (m_copy)
            m_copy(m_statistics.copyText());
    });
    connect(Button_close, &QPushButton::clicked, this, &QDialog::hide);
}

void LineStatisticsDialog::changed() {
    if (isVisible() && !m_refresh.isActive())
        m_refresh.start();
}

void LineStatisticsDialog::showEvent(QShowEvent *event) {
    refresh();
    QDialog::showEvent(event);
}

void LineStatisticsDialog::refresh() {
    const QList<int> addresses = m_statistics.addresses();
    Grid_statistics->setRowCount(int(addresses.size()));
    for (int row = 0; row < addresses.size(); ++row) {
        const QStringList texts =
            LineStatistics::rowTexts(addresses[row], m_statistics.counts(addresses[row]));
        for (int column = 0; column < texts.size(); ++column) {
            QTableWidgetItem *item = Grid_statistics->item(row, column);
            if (!item) {
                item = new QTableWidgetItem;
                item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
                Grid_statistics->setItem(row, column, item);
            }
            item->setText(texts[column]);
        }
    }
}

} // namespace corvane
