#include "find_loggers_dialog.h"

#include "error_display.h"

#include <QButtonGroup>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QVBoxLayout>

namespace corvane {

FindLoggersDialog::FindLoggersDialog(BusScan &scan, std::function<LineSetting()> currentSetting,
                                     std::function<void(const FoundLogger &)> use, QWidget *parent)
    : QDialog(parent), m_scan(scan), m_currentSetting(std::move(currentSetting)),
      m_use(std::move(use)) {
    setObjectName(QStringLiteral("FormFind"));
    setWindowTitle(QStringLiteral("Find loggers"));
    setModal(false);

    auto *range = new QGroupBox(QStringLiteral("Addresses"), this);
    SpinBox_from = new QSpinBox(range);
    SpinBox_to = new QSpinBox(range);
    for (QSpinBox *box : {SpinBox_from, SpinBox_to})
        box->setRange(1, 250);
    SpinBox_from->setValue(1);
    SpinBox_to->setValue(250);
    auto *rangeLayout = new QHBoxLayout(range);
    auto *fromLabel = new QLabel(QStringLiteral("From"), range);
    fromLabel->setBuddy(SpinBox_from);
    auto *toLabel = new QLabel(QStringLiteral("to"), range);
    toLabel->setBuddy(SpinBox_to);
    rangeLayout->addWidget(fromLabel);
    rangeLayout->addWidget(SpinBox_from);
    rangeLayout->addWidget(toLabel);
    rangeLayout->addWidget(SpinBox_to);
    rangeLayout->addStretch();

    auto *line = new QGroupBox(QStringLiteral("Line settings"), this);
    Radio_current = new QRadioButton(QStringLiteral("Current settings only"), line);
    Radio_all = new QRadioButton(QStringLiteral("All speeds and parities"), line);
    Radio_current->setChecked(true);
    SpinBox_wait = new QSpinBox(line);
    SpinBox_wait->setRange(10, 10000);
    SpinBox_wait->setSuffix(QStringLiteral(" ms"));
    auto *waitLabel = new QLabel(QStringLiteral("Reply wait per address"), line);
    waitLabel->setBuddy(SpinBox_wait);
    auto *lineLayout = new QGridLayout(line);
    lineLayout->addWidget(Radio_current, 0, 0, 1, 2);
    lineLayout->addWidget(Radio_all, 1, 0, 1, 2);
    lineLayout->addWidget(waitLabel, 2, 0);
    lineLayout->addWidget(SpinBox_wait, 2, 1);

    Button_start = new QPushButton(QStringLiteral("Start"), this);
    Button_stop = new QPushButton(QStringLiteral("Stop"), this);
    ProgressBar_scan = new QProgressBar(this);
    Label_left = new QLabel(this);
    Grid_found = new QTableWidget(0, 6, this);
    Grid_found->setHorizontalHeaderLabels({QStringLiteral("Address"), QStringLiteral("Speed"),
                                           QStringLiteral("Parity"), QStringLiteral("Model"),
                                           QStringLiteral("Device ID"), QStringLiteral("Inputs")});
    Grid_found->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Grid_found->setSelectionBehavior(QAbstractItemView::SelectRows);
    Grid_found->setSelectionMode(QAbstractItemView::SingleSelection);
    Grid_found->verticalHeader()->hide();
    Grid_found->horizontalHeader()->setStretchLastSection(true);
    Grid_found->setToolTip(QStringLiteral("Double-click a logger to select it in the main window"));

    const struct {
        QWidget *widget;
        const char *name;
    } names[] = {{SpinBox_from, "SpinBox_from"},   {SpinBox_to, "SpinBox_to"},
                 {Radio_current, "Radio_current"}, {Radio_all, "Radio_all"},
                 {SpinBox_wait, "SpinBox_wait"},   {Button_start, "Button_start"},
                 {Button_stop, "Button_stop"},     {ProgressBar_scan, "ProgressBar_scan"},
                 {Label_left, "Label_left"},       {Grid_found, "Grid_found"}};
    for (const auto &entry : names)
        entry.widget->setObjectName(QLatin1String(entry.name));

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(Button_start);
    buttons->addWidget(Button_stop);
    buttons->addWidget(ProgressBar_scan, 1);
    // The time left, and the summary at the end, on a line of their own so that a long summary
    // does not push the dialog wider.
    Label_left->setWordWrap(true);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(range);
    layout->addWidget(line);
    layout->addLayout(buttons);
    layout->addWidget(Label_left);
    layout->addWidget(Grid_found, 1);
    resize(620, 440);

    m_clock.setInterval(1000);
    connect(&m_clock, &QTimer::timeout, this, &FindLoggersDialog::showProgress);
    connect(Button_start, &QPushButton::clicked, this,
            [this] { runGuarded([this] { startClicked(); }); });
    connect(Button_stop, &QPushButton::clicked, this, [this] { m_scan.stop(); });
    connect(SpinBox_wait, &QSpinBox::valueChanged, this, [this] {
        if (!m_settingWait)
            m_waitEdited = true;
    });
    connect(Grid_found, &QTableWidget::cellDoubleClicked, this, [this](int row, int) {
        if (row >= 0 && row < m_results.size())
            runGuarded([this, row] { m_use(m_results.at(row)); });
    });
    connect(&m_scan, &BusScan::loggerFound, this, &FindLoggersDialog::addResult);
    connect(&m_scan, &BusScan::progressed, this, &FindLoggersDialog::showProgress);
    connect(&m_scan, &BusScan::finished, this, &FindLoggersDialog::scanEnded);
    Button_stop->setEnabled(false);
    showDerivedWait();
}

void FindLoggersDialog::showEvent(QShowEvent *event) {
    QDialog::showEvent(event);
    showDerivedWait();
}

void FindLoggersDialog::done(int result) {
    m_scan.stop();
    QDialog::done(result);
}

void FindLoggersDialog::showDerivedWait() {
    if (m_waitEdited || m_scan.isRunning())
        return;
    m_settingWait = true;
    SpinBox_wait->setValue(int(defaultReplyWait(m_currentSetting().speed).count()));
    m_settingWait = false;
}

ScanOptions FindLoggersDialog::options() const {
    ScanOptions options;
    options.from = SpinBox_from->value();
    options.to = SpinBox_to->value();
    options.settings =
        Radio_all->isChecked() ? allLineSettings() : QList<LineSetting>{m_currentSetting()};
    if (m_waitEdited)
        options.replyWait = std::chrono::milliseconds(SpinBox_wait->value());
    return options;
}

void FindLoggersDialog::startClicked() {
    if (m_scan.isRunning())
        return;
    showDerivedWait();
    const ScanOptions wanted = options();
    if (!m_scan.start(wanted))
        return;
    m_results.clear();
    Grid_found->setRowCount(0);
    ProgressBar_scan->setRange(0, m_scan.probesTotal());
    ProgressBar_scan->setValue(0);
    Button_start->setEnabled(false);
    Button_stop->setEnabled(true);
    m_clock.start();
    showProgress();
}

void FindLoggersDialog::addResult(const FoundLogger &logger) {
    m_results.append(logger);
    const int row = Grid_found->rowCount();
    Grid_found->insertRow(row);
    const QStringList cells{QString::number(logger.address),
                            QString::number(logger.line.speed),
                            logger.line.parity,
                            logger.model,
                            logger.deviceId,
                            logger.inputs > 0 ? QString::number(logger.inputs) : QString()};
    for (int column = 0; column < cells.size(); ++column)
        Grid_found->setItem(row, column, new QTableWidgetItem(cells.at(column)));
}

void FindLoggersDialog::showProgress() {
    ProgressBar_scan->setValue(m_scan.probesDone());
    if (m_scan.isRunning())
        Label_left->setText(QStringLiteral("About ") + durationText(m_scan.estimatedLeft()) +
                            QStringLiteral(" left"));
}

void FindLoggersDialog::scanEnded() {
    m_clock.stop();
    ProgressBar_scan->setValue(m_scan.probesDone());
    Label_left->setText(m_scan.summary());
    Button_start->setEnabled(true);
    Button_stop->setEnabled(false);
    showDerivedWait();
}

} // namespace corvane
