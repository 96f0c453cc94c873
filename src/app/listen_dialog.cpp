#include "listen_dialog.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableView>
#include <QVBoxLayout>

namespace corvane {

ListenDialog::ListenDialog(std::function<void(const QString &)> log,
                           std::function<void(const QByteArray &)> save, QWidget *parent)
    : QDialog(parent), m_log(std::move(log)), m_save(std::move(save)) {
    setObjectName(QStringLiteral("FormListen"));
    setWindowTitle(QStringLiteral("Listen to the line"));
    Label_listen = new QLabel(this);
    Label_listen->setObjectName(QStringLiteral("Label_listen"));
    Grid_listen = new QTableView(this);
    Grid_listen->setObjectName(QStringLiteral("Grid_listen"));
    Grid_listen->setAccessibleName(QStringLiteral("Exchanges heard"));
    Grid_listen->setModel(&m_model);
    Grid_listen->verticalHeader()->hide();
    Grid_listen->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Grid_listen->setSelectionBehavior(QAbstractItemView::SelectRows);
    Grid_listen->setWordWrap(false);
    Grid_listen->horizontalHeader()->setStretchLastSection(false);
    const int widths[ListenTableModel::ColumnCount] = {90, 60, 200, 330, 90, 70};
    for (int c = 0; c < ListenTableModel::ColumnCount; ++c)
        Grid_listen->setColumnWidth(c, widths[c]);
    Button_pause = new QPushButton(QStringLiteral("Pause"), this);
    Button_pause->setObjectName(QStringLiteral("Button_pause"));
    Button_clear = new QPushButton(QStringLiteral("Clear"), this);
    Button_clear->setObjectName(QStringLiteral("Button_clear"));
    Button_save = new QPushButton(QStringLiteral("Save..."), this);
    Button_save->setObjectName(QStringLiteral("Button_save"));
    Button_close = new QPushButton(QStringLiteral("Close"), this);
    Button_close->setObjectName(QStringLiteral("Button_close"));
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(Button_pause);
    buttons->addWidget(Button_clear);
    buttons->addWidget(Button_save);
    buttons->addStretch();
    buttons->addWidget(Button_close);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(Label_listen);
    layout->addWidget(Grid_listen);
    layout->addLayout(buttons);
    resize(900, 420);

    connect(Button_pause, &QPushButton::clicked, this, &ListenDialog::pauseClicked);
    connect(Button_clear, &QPushButton::clicked, this, [this] {
        m_model.clear();
        showState();
    });
    connect(Button_save, &QPushButton::clicked, this, [this] {
        if (m_save)
            m_save(m_model.csv());
    });
    connect(Button_close, &QPushButton::clicked, this, &QDialog::reject);
    connect(&m_listener, &BusListener::exchangeHeard, this, [this](const HeardExchange &exchange) {
        m_model.add(exchange, m_listener.timeOf(exchange.start));
        if (m_model.isPaused())
            showState();
        else
            Grid_listen->scrollToBottom();
    });
    connect(&m_listener, &BusListener::lineLost, this, [this] {
        end(QStringLiteral("Serial device %1 is no longer available, listening to the line "
                           "ended")
                .arg(m_listener.port().name));
    });
}

bool ListenDialog::listen(const ListenPort &port) {
    if (isListening())
        return true;
    QString failure;
    if (!m_listener.start(port, &failure)) {
        m_log(failure);
        return false;
    }
    m_model.setPaused(false);
    Button_pause->setText(QStringLiteral("Pause"));
    showState();
    m_log(QStringLiteral("Listening to the line on %1 at %2; Corvane sends nothing")
              .arg(port.name, port.settingsText()));
    show();
    raise();
    activateWindow();
    return true;
}

void ListenDialog::done(int result) {
    if (isListening())
        end(QStringLiteral("Listening to the line ended"));
    QDialog::done(result);
}

void ListenDialog::end(const QString &line) {
    m_listener.stop();
    // What waited for the pause is still worth seeing.
    m_model.setPaused(false);
    Button_pause->setText(QStringLiteral("Pause"));
    showState();
    m_log(line);
}

void ListenDialog::pauseClicked() {
    m_model.setPaused(!m_model.isPaused());
    Button_pause->setText(m_model.isPaused() ? QStringLiteral("Resume") : QStringLiteral("Pause"));
    if (!m_model.isPaused())
        Grid_listen->scrollToBottom();
    showState();
}

void ListenDialog::showState() {
    const ListenPort &port = m_listener.port();
    if (!isListening())
        Label_listen->setText(QStringLiteral("Not listening"));
    else if (m_model.isPaused())
        Label_listen->setText(QStringLiteral("Paused, %1 waiting: listening on %2 at %3")
                                  .arg(m_model.heldCount())
                                  .arg(port.name, port.settingsText()));
    else
        Label_listen->setText(QStringLiteral("Listening on %1 at %2; Corvane sends nothing")
                                  .arg(port.name, port.settingsText()));
}

} // namespace corvane
