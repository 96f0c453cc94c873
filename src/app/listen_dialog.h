#pragma once

#include "bus_listener.h"
#include "listen_table_model.h"

#include <QDialog>

#include <functional>

class QLabel;
class QPushButton;
class QTableView;

namespace corvane {

// System > "Listen to the line...": a non-modal view of the exchanges on a line that another
// master drives, heard on a port opened to receive only. Pause holds the view still, Clear
// empties it, Save writes its rows as CSV. Closing the view ends the listening.
class ListenDialog : public QDialog {
    Q_OBJECT
public:
    // log: a line of the operator log. save: the rows as CSV, for the window to save where the
    // operator says.
    ListenDialog(std::function<void(const QString &)> log,
                 std::function<void(const QByteArray &)> save, QWidget *parent = nullptr);

    // Opens the port and shows the view; false, with the reason in the log, when the port
    // cannot be opened.
    bool listen(const ListenPort &port);
    bool isListening() const { return m_listener.isListening(); }
    const ListenPort &port() const { return m_listener.port(); }
    ListenTableModel &model() { return m_model; }

    QLabel *Label_listen = nullptr;
    QTableView *Grid_listen = nullptr;
    QPushButton *Button_pause = nullptr;
    QPushButton *Button_clear = nullptr;
    QPushButton *Button_save = nullptr;
    QPushButton *Button_close = nullptr;

public Q_SLOTS:
    // Closing the view (its box, Escape, Close) ends the listening.
    void done(int result) override;

private:
    void pauseClicked();
    void showState();
    void end(const QString &line);

    std::function<void(const QString &)> m_log;
    std::function<void(const QByteArray &)> m_save;
    BusListener m_listener;
    ListenTableModel m_model;
};

} // namespace corvane
