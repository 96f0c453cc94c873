#include "main_window_ui.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QIcon>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenuBar>
#include <QPainter>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QResizeEvent>
#include <QScrollArea>
#include <QSpinBox>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableView>
#include <QToolButton>

#include <algorithm>

namespace corvane {
namespace {

// The designed client area from top to bottom: the toolbar row, the pages, a gap, the logs and a
// bottom margin.
constexpr int kTopRowHeight = 40;
constexpr int kPagesHeight = 449;
constexpr int kPagesWidth = 993;
constexpr int kLogsGap = 7;
constexpr int kLogsHeight = 121;
// The logs group around panes of about three lines: as far as the logs give way.
constexpr int kLogsLowest = 76;
// From the logs group's height to its panes'.
constexpr int kLogsFrame = 32;
constexpr int kMargin = 16;

// Toolbar pictures: the desktop theme's icon where there is one, otherwise a simple drawing of
// our own, so the buttons are never blank.
QIcon toolIcon(const char *themeName, int kind) {
    const QIcon themed = QIcon::fromTheme(QString::fromLatin1(themeName));
    if (!themed.isNull())
        return themed;
    QPixmap pixmap(20, 20);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(40, 60, 90), 1.5));
    switch (kind) {
    case 0: // open: a folder
        p.setBrush(QColor(236, 196, 92));
        p.drawRect(QRectF(2.5, 6.5, 15, 10));
        p.drawRect(QRectF(2.5, 4.5, 6, 2));
        break;
    case 1: // save: a disk
        p.setBrush(QColor(90, 130, 200));
        p.drawRect(QRectF(3.5, 3.5, 13, 13));
        p.setBrush(Qt::white);
        p.drawRect(QRectF(6.5, 3.5, 7, 5));
        break;
    case 2: // port: a connector
        p.setBrush(QColor(120, 120, 120));
        p.drawRoundedRect(QRectF(4.5, 6.5, 11, 8), 2, 2);
        p.drawLine(QPointF(7.5, 3), QPointF(7.5, 6.5));
        p.drawLine(QPointF(12.5, 3), QPointF(12.5, 6.5));
        p.drawLine(QPointF(10, 14.5), QPointF(10, 18));
        break;
    case 3: // options: a slider panel
        for (int i = 0; i < 3; ++i) {
            p.drawLine(QPointF(3, 5 + 5 * i), QPointF(17, 5 + 5 * i));
            p.setBrush(QColor(90, 130, 200));
            p.drawEllipse(QPointF(6 + 4 * i, 5 + 5 * i), 2, 2);
        }
        break;
    case 4: // manual: a book
        p.setBrush(QColor(200, 80, 70));
        p.drawRect(QRectF(4.5, 3.5, 11, 14));
        p.drawLine(QPointF(7.5, 3.5), QPointF(7.5, 17.5));
        break;
    case 5: // about: an "i" in a circle
        p.setBrush(QColor(90, 130, 200));
        p.drawEllipse(QRectF(2.5, 2.5, 15, 15));
        p.setPen(QPen(Qt::white, 2));
        p.drawLine(QPointF(10, 9), QPointF(10, 14.5));
        p.drawPoint(QPointF(10, 6));
        break;
    case 6: // exit: a cross
        p.setPen(QPen(QColor(190, 50, 40), 2.5));
        p.drawLine(QPointF(5, 5), QPointF(15, 15));
        p.drawLine(QPointF(15, 5), QPointF(5, 15));
        break;
    default: // stop: a red square
        p.setBrush(QColor(200, 60, 50));
        p.drawRoundedRect(QRectF(4.5, 4.5, 11, 11), 1.5, 1.5);
        break;
    }
    return QIcon(pixmap);
}

// Takes the window's room: asks for the designed size, and fits the pages and logs to what it
// gets.
class ClientArea : public QWidget {
public:
    ClientArea(MainWindowUi &ui, QWidget *parent) : QWidget(parent), m_ui(ui) {}
    QSize sizeHint() const override { return MainWindowUi::kDesignedClientSize; }
    QSize minimumSizeHint() const override { return MainWindowUi::kMinimumClientSize; }

protected:
    void resizeEvent(QResizeEvent *event) override {
        m_ui.fitClientArea(event->size());
        QWidget::resizeEvent(event);
    }

private:
    MainWindowUi &m_ui;
};

// The height a page's controls need, hidden ones included: the service group appears only after
// the password.
int heightOfChildren(const QWidget *page) {
    int height = 0;
    for (const QWidget *child : page->findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
        height = std::max(height, child->geometry().bottom() + 1);
    return height;
}

QString captionOf(const QLabel *label) {
    QString caption = label->text().trimmed();
    if (caption.endsWith(QLatin1Char(':')))
        caption.chop(1);
    return caption.trimmed();
}

class Builder {
public:
    explicit Builder(MainWindowUi &ui) : m_ui(ui) {}

    template <typename W> W *add(W *widget, const QString &name) {
        widget->setObjectName(name);
        m_ui.controls.insert(name, widget);
        return widget;
    }

    QLabel *label(QWidget *parent, const QString &name, int x, int y, const QString &text) {
        auto *w = add(new QLabel(text, parent), name);
        w->move(x, y);
        w->adjustSize();
        return w;
    }

    QPushButton *button(QWidget *parent, const QString &name, QRect geometry, const QString &text,
                        bool bold = false) {
        auto *w = add(new QPushButton(text, parent), name);
        w->setGeometry(geometry);
        if (bold) {
            QFont font = w->font();
            font.setBold(true);
            w->setFont(font);
        }
        return w;
    }

    QLineEdit *edit(QWidget *parent, const QString &name, QRect geometry, int maxLength) {
        auto *w = add(new QLineEdit(parent), name);
        w->setGeometry(geometry);
        if (maxLength > 0)
            w->setMaxLength(maxLength);
        return w;
    }

    QComboBox *combo(QWidget *parent, const QString &name, QRect geometry,
                     const QStringList &items) {
        auto *w = add(new QComboBox(parent), name);
        w->setEditable(true);
        w->addItems(items);
        w->setCurrentIndex(-1);
        w->setEditText(QString());
        w->setGeometry(geometry);
        return w;
    }

    QCheckBox *check(QWidget *parent, const QString &name, int x, int y, const QString &text) {
        auto *w = add(new QCheckBox(text, parent), name);
        w->move(x, y);
        w->adjustSize();
        return w;
    }

    QGroupBox *group(QWidget *parent, const QString &name, QRect geometry, const QString &title) {
        auto *w = add(new QGroupBox(title, parent), name);
        w->setGeometry(geometry);
        return w;
    }

    QTableView *grid(QWidget *parent, const QString &name, QRect geometry) {
        auto *w = add(new QTableView(parent), name);
        w->setGeometry(geometry);
        w->verticalHeader()->setDefaultSectionSize(18);
        w->verticalHeader()->setMinimumSectionSize(18);
        w->horizontalHeader()->setFixedHeight(18);
        w->setTabKeyNavigation(true);
        return w;
    }

    QPlainTextEdit *memo(QWidget *parent, const QString &name, QRect geometry) {
        auto *w = add(new QPlainTextEdit(parent), name);
        w->setGeometry(geometry);
        w->setReadOnly(true);
        w->setLineWrapMode(QPlainTextEdit::NoWrap);
        w->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        return w;
    }

private:
    MainWindowUi &m_ui;
};

} // namespace

void nameByLabel(QLabel *label, QWidget *field) {
    label->setBuddy(field);
    field->setAccessibleName(captionOf(label));
    // A screen reader announces the typing field inside an editable combo box on its own, as a
    // bare "text" unless it carries the combo's name too.
    if (auto *combo = qobject_cast<QComboBox *>(field); combo && combo->lineEdit())
        combo->lineEdit()->setAccessibleName(combo->accessibleName());
}

void MainWindowUi::setup(QMainWindow *window) {
    Builder b(*this);
    auto *client = b.add(new ClientArea(*this, window), QStringLiteral("ClientArea"));
    client->setMinimumSize(kMinimumClientSize);
    client->resize(kDesignedClientSize);
    window->setCentralWidget(client);

    // Toolbar: image buttons only, the command in the tooltip.
    const struct {
        QToolButton *MainWindowUi::*member;
        const char *name;
        const char *tip;
        const char *icon;
    } tools[] = {
        {&MainWindowUi::BitBtn11, "BitBtn11", "Load from file", "document-open"},
        {&MainWindowUi::BitBtn12, "BitBtn12", "Save to file", "document-save"},
        {&MainWindowUi::BitBtn13, "BitBtn13", "Open or close the serial port", "network-wired"},
        {&MainWindowUi::BitBtn14, "BitBtn14", "Options", "preferences-system"},
        {&MainWindowUi::BitBtn15, "BitBtn15", "User manual", "help-contents"},
        {&MainWindowUi::BitBtn16, "BitBtn16", "About...", "help-about"},
        {&MainWindowUi::BitBtn17, "BitBtn17", "Exit", "application-exit"},
        {&MainWindowUi::BitBtnStop, "BitBtnStop", "Stop", "process-stop"},
    };
    int kind = 0;
    int left = 16;
    for (const auto &tool : tools) {
        auto *w = b.add(new QToolButton(client), QString::fromLatin1(tool.name));
        w->setGeometry(left, 8, 25, 25);
        w->setToolTip(QString::fromLatin1(tool.tip));
        w->setAccessibleName(QString::fromLatin1(tool.tip));
        w->setAutoRaise(true);
        w->setIcon(toolIcon(tool.icon, kind++));
        w->setIconSize(QSize(20, 20));
        this->*(tool.member) = w;
        left += 32;
    }
    // Usable only while a sequence runs.
    BitBtnStop->setEnabled(false);
    BitBtnStop->setAccessibleDescription(
        QStringLiteral("Ends the running command after its current step (Esc)"));

    Memo1 = b.memo(client, QStringLiteral("Memo1"), QRect(472, 8, 65, 25));
    Memo1->hide();
    BitBtn27 = b.button(client, QStringLiteral("BitBtn27"), QRect(560, 8, 129, 25),
                        QStringLiteral("Read type"), true);
    Label24 = b.label(client, QStringLiteral("Label24"), 704, 16, QStringLiteral("Device type: "));
    Label24->resize(148, Label24->height());
    Label1 = b.label(client, QStringLiteral("Label1"), 856, 16, QStringLiteral("Address: "));
    Edit_addr = b.edit(client, QStringLiteral("Edit_addr"), QRect(904, 8, 41, 21), 3);
    Edit_addr->setText(QStringLiteral("1"));
    // Digits only. The range is checked when the address is applied, so that a number outside
    // it is answered with the range rather than with keys that silently do nothing.
    Edit_addr->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), Edit_addr));
    nameByLabel(Label1, Edit_addr);
    UD_addr = b.add(new QSpinBox(client), QStringLiteral("UD_addr"));
    UD_addr->setGeometry(945, 8, 17, 21);
    UD_addr->setRange(1, 250);
    UD_addr->setValue(1);
    UD_addr->setWrapping(false);
    // Only the arrows show; the number is in Edit_addr beside them.
    UD_addr->setStyleSheet(QStringLiteral("QSpinBox { color: transparent; }"));
    UD_addr->setAccessibleName(QStringLiteral("Address"));
    UD_addr->setAccessibleDescription(QStringLiteral("Steps the address up or down"));

    PageControl1 = b.add(new QTabWidget(client), QStringLiteral("PageControl1"));
    PageControl1->setGeometry(16, 40, 993, 449);
    PageControl1->setTabPosition(QTabWidget::South);
    TabSheet1 = b.add(new QWidget, QStringLiteral("TabSheet1"));
    TabSheet2 = b.add(new QWidget, QStringLiteral("TabSheet2"));
    TabSheet3 = b.add(new QWidget, QStringLiteral("TabSheet3"));
    TabSheet4 = b.add(new QWidget, QStringLiteral("TabSheet4"));
    const struct {
        QWidget *page;
        const char *caption;
    } pages[] = {{TabSheet1, "Read and write parameters"},
                 {TabSheet2, "Read only parameters"},
                 {TabSheet3, "Service functions"},
                 {TabSheet4, "Monitor"}};
    for (int i = 0; i < 4; ++i) {
        auto *scroll = b.add(new QScrollArea, QStringLiteral("pageScroll%1").arg(i + 1));
        scroll->setFrameShape(QFrame::NoFrame);
        scroll->setFocusPolicy(Qt::NoFocus);
        scroll->setWidgetResizable(true);
        // The window is never narrower than designed. Beside a vertical scroll bar a page loses
        // only the right edge of its group box's frame, which is no reason for a second bar.
        scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        scroll->setWidget(pages[i].page);
        // The page shows the tab's own background, as it did without the scroll area.
        scroll->viewport()->setAutoFillBackground(false);
        pages[i].page->setAutoFillBackground(false);
        PageControl1->addTab(scroll, QString::fromLatin1(pages[i].caption));
        pageScrolls[i] = scroll;
    }
    PageControl1->setCurrentIndex(0);

    // First page: the parameter table and its commands.
    GroupBox1 = b.group(TabSheet1, QStringLiteral("GroupBox1"), QRect(8, 8, 969, 401),
                        QStringLiteral(" Parameters to set up "));
    Grid_data = b.grid(GroupBox1, QStringLiteral("Grid_data"), QRect(12, 22, 750, 330));
    const int right = 780;
    BitBtn1 = b.button(GroupBox1, QStringLiteral("BitBtn1"), QRect(right, 22, 85, 25),
                       QStringLiteral("Read"));
    BitBtn2 = b.button(GroupBox1, QStringLiteral("BitBtn2"), QRect(right + 93, 22, 85, 25),
                       QStringLiteral("Write"));
    Check_unit =
        b.check(GroupBox1, QStringLiteral("Check_unit"), right, 58, QStringLiteral("Unit"));
    Check_constant =
        b.check(GroupBox1, QStringLiteral("Check_constant"), right, 78, QStringLiteral("Constant"));
    Check_user =
        b.check(GroupBox1, QStringLiteral("Check_user"), right, 98, QStringLiteral("User number"));
    Check_info =
        b.check(GroupBox1, QStringLiteral("Check_info"), right, 118, QStringLiteral("Free text"));
    Check_tariffs = b.check(GroupBox1, QStringLiteral("Check_tariffs"), right, 138,
                            QStringLiteral("Tariff information"));
    Check_initial = b.check(GroupBox1, QStringLiteral("Check_initial"), right, 158,
                            QStringLiteral("Initial values"));
    BitBtn10 = b.button(GroupBox1, QStringLiteral("BitBtn10"), QRect(right, 192, 178, 25),
                        QStringLiteral("Write current datetime"));
    Label6 = b.label(GroupBox1, QStringLiteral("Label6"), right, 224, QStringLiteral("Time: "));
    Label7 = b.label(GroupBox1, QStringLiteral("Label7"), right, 242, QStringLiteral("Date: "));
    for (QLabel *l : {Label6, Label7})
        l->resize(178, l->height());
    BitBtn3 = b.button(GroupBox1, QStringLiteral("BitBtn3"), QRect(right, 272, 178, 25),
                       QStringLiteral("Save to file"));
    BitBtn5 = b.button(GroupBox1, QStringLiteral("BitBtn5"), QRect(right, 302, 178, 25),
                       QStringLiteral("Load from file"));
    BitBtn9 = b.button(GroupBox1, QStringLiteral("BitBtn9"), QRect(right, 332, 178, 25),
                       QStringLiteral("Export"));
    BitBtn4 = b.button(GroupBox1, QStringLiteral("BitBtn4"), QRect(right, 362, 178, 25),
                       QStringLiteral("Print"));
    BitBtn4->hide();

    // Second page: counters, battery, input status and flow.
    GroupBox2 = b.group(TabSheet2, QStringLiteral("GroupBox2"), QRect(8, 8, 969, 236),
                        QStringLiteral(" Read only parameters "));
    Grid_data2 = b.grid(GroupBox2, QStringLiteral("Grid_data2"), QRect(12, 22, 754, 132));
    BitBtn6 = b.button(GroupBox2, QStringLiteral("BitBtn6"), QRect(right, 22, 85, 25),
                       QStringLiteral("Read"));
    BitBtn8 = b.button(GroupBox2, QStringLiteral("BitBtn8"), QRect(right + 93, 22, 85, 25),
                       QStringLiteral("Export"));
    BitBtn7 = b.button(GroupBox2, QStringLiteral("BitBtn7"), QRect(right, 54, 85, 25),
                       QStringLiteral("Print"));
    Label5 =
        b.label(GroupBox2, QStringLiteral("Label5"), 12, 180, QStringLiteral("Battery status: "));
    Label5->resize(250, Label5->height());
    BitBtn28 = b.button(GroupBox2, QStringLiteral("BitBtn28"), QRect(12, 202, 178, 25),
                        QStringLiteral("Read Input raw status"));
    Label_input_status = b.label(GroupBox2, QStringLiteral("Label_input_status"), 200, 207,
                                 QStringLiteral("Current input status: Unknown"));
    Label_input_status->resize(300, Label_input_status->height());

    GroupBox7 = b.group(TabSheet2, QStringLiteral("GroupBox7"), QRect(8, 252, 969, 100),
                        QStringLiteral("   Flow rate values   "));
    Grid_flow = b.grid(GroupBox7, QStringLiteral("Grid_flow"), QRect(12, 22, 754, 42));
    BitBtn31 = b.button(GroupBox7, QStringLiteral("BitBtn31"), QRect(right, 22, 85, 25),
                        QStringLiteral("Read"));

    // The monitor: what to watch and how often, the table of every address watched, then the
    // chart of one. All of it fits the page at the window's designed size.
    GroupBox_monitor = b.group(TabSheet4, QStringLiteral("GroupBox_monitor"),
                               QRect(8, 8, 969, 401), QStringLiteral(" Monitor "));
    QGroupBox *gm = GroupBox_monitor;
    auto *labelEvery =
        b.label(gm, QStringLiteral("Label_monitor_interval"), 12, 26, QStringLiteral("Every (s)"));
    Spin_monitor_interval = b.add(new QSpinBox(gm), QStringLiteral("Spin_monitor_interval"));
    Spin_monitor_interval->setGeometry(70, 22, 65, 23);
    Spin_monitor_interval->setRange(1, 3600);
    Spin_monitor_interval->setValue(10);
    nameByLabel(labelEvery, Spin_monitor_interval);
    auto *labelAddresses = b.label(gm, QStringLiteral("Label_monitor_addresses"), 150, 26,
                                   QStringLiteral("Addresses"));
    Edit_monitor_addresses =
        b.edit(gm, QStringLiteral("Edit_monitor_addresses"), QRect(214, 22, 130, 23), 200);
    Edit_monitor_addresses->setText(QStringLiteral("1"));
    Edit_monitor_addresses->setToolTip(QStringLiteral("For example 1,7,20-25"));
    nameByLabel(labelAddresses, Edit_monitor_addresses);
    BitBtn_monitor_start = b.button(gm, QStringLiteral("BitBtn_monitor_start"),
                                    QRect(356, 21, 85, 25), QStringLiteral("Start"));
    BitBtn_monitor_stop = b.button(gm, QStringLiteral("BitBtn_monitor_stop"),
                                   QRect(449, 21, 85, 25), QStringLiteral("Stop"));
    BitBtn_monitor_stop->setEnabled(false);
    Check_monitor_log =
        b.check(gm, QStringLiteral("Check_monitor_log"), 552, 25, QStringLiteral("Log to file"));
    BitBtn_monitor_file =
        b.button(gm, QStringLiteral("BitBtn_monitor_file"),
                 QRect(552 + Check_monitor_log->width() + 6, 21, 29, 25), QStringLiteral("..."));
    BitBtn_monitor_file->setAccessibleName(QStringLiteral("Choose the log file"));
    BitBtn_monitor_file->setToolTip(QStringLiteral("Choose the log file"));
    const int fileX = BitBtn_monitor_file->x() + 37;
    Label_monitor_file = b.label(gm, QStringLiteral("Label_monitor_file"), fileX, 26, QString());
    Label_monitor_file->resize(957 - fileX, Label_monitor_file->height());
    Grid_monitor = b.grid(gm, QStringLiteral("Grid_monitor"), QRect(12, 52, 945, 130));
    Grid_monitor->setAccessibleName(QStringLiteral("Monitor table"));
    Grid_monitor->setSelectionBehavior(QAbstractItemView::SelectRows);
    Grid_monitor->setSelectionMode(QAbstractItemView::SingleSelection);
    Grid_monitor->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Grid_monitor->setSortingEnabled(true);
    Grid_monitor->verticalHeader()->hide();
    Grid_monitor->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    // Tab leaves the table: moving between its cells would only move the selected address.
    Grid_monitor->setTabKeyNavigation(false);
    constexpr int kBelowTable = 190;
    auto *labelShow = b.label(gm, QStringLiteral("Label_monitor_quantity"), 12, kBelowTable + 4,
                              QStringLiteral("Show"));
    Combo_monitor_quantity = b.add(new QComboBox(gm), QStringLiteral("Combo_monitor_quantity"));
    Combo_monitor_quantity->setGeometry(70, kBelowTable, 170, 23);
    Combo_monitor_quantity->addItems({QStringLiteral("Flow rate (l/s)"),
                                      QStringLiteral("Total consumption"),
                                      QStringLiteral("Pulses per minute")});
    nameByLabel(labelShow, Combo_monitor_quantity);
    auto *labelAddress = b.label(gm, QStringLiteral("Label_monitor_address"), 256,
                                 kBelowTable + 4, QStringLiteral("Address"));
    Combo_monitor_address = b.add(new QComboBox(gm), QStringLiteral("Combo_monitor_address"));
    Combo_monitor_address->setGeometry(310, kBelowTable, 70, 23);
    nameByLabel(labelAddress, Combo_monitor_address);
    Label_monitor_cursor =
        b.label(gm, QStringLiteral("Label_monitor_cursor"), 400, kBelowTable + 4, QString());
    Label_monitor_cursor->resize(557, Label_monitor_cursor->height());
    Frame_monitor_chart = b.add(new QWidget(gm), QStringLiteral("Frame_monitor_chart"));
    Frame_monitor_chart->setGeometry(12, kBelowTable + 30, 945, 401 - kBelowTable - 30 - 8);

    // Service page: the password area, then the service group behind it.
    Label8 = b.label(TabSheet3, QStringLiteral("Label8"), 32, 48, QStringLiteral("Enter passowrd"));
    MaskEdit1 = b.edit(TabSheet3, QStringLiteral("MaskEdit1"), QRect(32, 64, 145, 21), 16);
    MaskEdit1->setEchoMode(QLineEdit::Password);
    nameByLabel(Label8, MaskEdit1);
    BitBtn18 = b.button(TabSheet3, QStringLiteral("BitBtn18"), QRect(32, 96, 145, 25),
                        QStringLiteral("Enter"));
    GroupBox4 = b.group(TabSheet3, QStringLiteral("GroupBox4"), QRect(200, 32, 673, 385),
                        QStringLiteral(" Service functions  "));
    GroupBox4->hide();
    QWidget *g4 = GroupBox4;
    Label20 = b.label(g4, QStringLiteral("Label20"), 27, 16, QString());
    Label20->resize(620, Label20->height());
    Label21 = b.label(g4, QStringLiteral("Label21"), 24, 32, QStringLiteral("Device type: "));
    Label21->resize(300, Label21->height());
    Label13 = b.label(g4, QStringLiteral("Label13"), 472, 40, QStringLiteral("Address: "));
    Label14 = b.label(g4, QStringLiteral("Label14"), 472, 64, QStringLiteral("Language: "));
    Label15 = b.label(g4, QStringLiteral("Label15"), 472, 88, QStringLiteral("Pulse length: "));
    Label16 = b.label(g4, QStringLiteral("Label16"), 472, 112, QStringLiteral("Battery status: "));
    Label17 = b.label(g4, QStringLiteral("Label17"), 472, 136, QStringLiteral("Time and date: "));
    Label19 = b.label(g4, QStringLiteral("Label19"), 472, 160, QStringLiteral("Current status: "));
    for (QLabel *l : {Label13, Label14, Label15, Label16, Label17, Label19})
        l->resize(196, l->height());
    BitBtn24 = b.button(g4, QStringLiteral("BitBtn24"), QRect(24, 344, 545, 25),
                        QStringLiteral("Read main information about this device"), true);

    Label12 = b.label(g4, QStringLiteral("Label12"), 24, 48, QStringLiteral("Device ID"));
    Edit_id = b.edit(g4, QStringLiteral("Edit_id"), QRect(24, 64, 121, 21), 8);
    Edit_id->setEnabled(false);
    nameByLabel(Label12, Edit_id);
    BitBtn19 = b.button(g4, QStringLiteral("BitBtn19"), QRect(24, 88, 121, 25),
                        QStringLiteral("Change ID"));
    BitBtn19->setEnabled(false);

    GroupBox5 = b.group(g4, QStringLiteral("GroupBox5"), QRect(184, 40, 273, 137),
                        QStringLiteral(" Communication parameters  "));
    Label9 = b.label(GroupBox5, QStringLiteral("Label9"), 16, 24, QStringLiteral("Speed"));
    ComboBox1 = b.combo(GroupBox5, QStringLiteral("ComboBox1"), QRect(16, 40, 113, 23),
                        {QStringLiteral("300"), QStringLiteral("1200"), QStringLiteral("2400"),
                         QStringLiteral("4800"), QStringLiteral("9600"), QStringLiteral("19200"),
                         QStringLiteral("38400")});
    Label10 = b.label(GroupBox5, QStringLiteral("Label10"), 144, 24, QStringLiteral("Parity"));
    ComboBox2 = b.combo(GroupBox5, QStringLiteral("ComboBox2"), QRect(144, 40, 113, 23),
                        {QStringLiteral("None"), QStringLiteral("Even"), QStringLiteral("Odd")});
    nameByLabel(Label9, ComboBox1);
    nameByLabel(Label10, ComboBox2);
    Button1 = b.button(GroupBox5, QStringLiteral("Button1"), QRect(16, 88, 241, 25),
                       QStringLiteral("Change interface parameters"));

    GroupBox6 = b.group(g4, QStringLiteral("GroupBox6"), QRect(184, 184, 273, 113),
                        QStringLiteral(" Security "));
    Label22 =
        b.label(GroupBox6, QStringLiteral("Label22"), 16, 24, QStringLiteral("Menu access code:"));
    Edit1 = b.edit(GroupBox6, QStringLiteral("Edit1"), QRect(16, 40, 113, 21), 4);
    nameByLabel(Label22, Edit1);
    Button2 = b.button(GroupBox6, QStringLiteral("Button2"), QRect(16, 72, 113, 25),
                       QStringLiteral("Read code"));
    BitBtn20 = b.button(GroupBox6, QStringLiteral("BitBtn20"), QRect(144, 72, 113, 25),
                        QStringLiteral("Change code"));

    BitBtn21 = b.button(g4, QStringLiteral("BitBtn21"), QRect(472, 256, 161, 25),
                        QStringLiteral("Lock device"));
    BitBtn22 = b.button(g4, QStringLiteral("BitBtn22"), QRect(472, 288, 161, 25),
                        QStringLiteral("Unlock device"));
    Label11 = b.label(g4, QStringLiteral("Label11"), 472, 184,
                      QStringLiteral("Number of inputs to display"));
    Combo_inputs = b.combo(g4, QStringLiteral("Combo_inputs"), QRect(472, 200, 97, 23),
                           {QStringLiteral("4"), QStringLiteral("6"), QStringLiteral("8")});
    nameByLabel(Label11, Combo_inputs);
    BitBtn30 = b.button(g4, QStringLiteral("BitBtn30"), QRect(472, 224, 161, 25),
                        QStringLiteral("Set inputs display"));
    BitBtn23 =
        b.button(g4, QStringLiteral("BitBtn23"), QRect(576, 280, 57, 25), QStringLiteral("Set"));
    BitBtn23->hide();
    Label18 = b.label(g4, QStringLiteral("Label18"), 24, 128, QStringLiteral("Set new address"));
    Edit_address = b.edit(g4, QStringLiteral("Edit_address"), QRect(24, 144, 49, 23), 3);
    nameByLabel(Label18, Edit_address);
    BitBtn25 =
        b.button(g4, QStringLiteral("BitBtn25"), QRect(80, 144, 81, 25), QStringLiteral("Change"));
    Label23 = b.label(g4, QStringLiteral("Label23"), 24, 184, QStringLiteral("Pulse length"));
    Combo_pulses =
        b.combo(g4, QStringLiteral("Combo_pulses"), QRect(24, 200, 137, 23),
                {QStringLiteral("5 ms"), QStringLiteral("10 ms"), QStringLiteral("20 ms"),
                 QStringLiteral("50 ms"), QStringLiteral("100 ms")});
    nameByLabel(Label23, Combo_pulses);
    BitBtn26 =
        b.button(g4, QStringLiteral("BitBtn26"), QRect(24, 224, 137, 25), QStringLiteral("Change"));
    Label25 = b.label(g4, QStringLiteral("Label25"), 24, 264, QStringLiteral("Polarity of inputs"));
    Combo_polarity = b.combo(g4, QStringLiteral("Combo_polarity"), QRect(24, 280, 137, 23),
                             {QStringLiteral("Positive"), QStringLiteral("Negative")});
    nameByLabel(Label25, Combo_polarity);
    BitBtn29 = b.button(g4, QStringLiteral("BitBtn29"), QRect(24, 304, 137, 25),
                        QStringLiteral("Set polarity"));

    for (int i = 0; i < 4; ++i)
        pages[i].page->setMinimumHeight(heightOfChildren(pages[i].page));

    // Logs.
    GroupBox3 = b.group(client, QStringLiteral("GroupBox3"), QRect(16, 496, 993, 121),
                        QStringLiteral(" Logs "));
    Memo_log = b.memo(GroupBox3, QStringLiteral("Memo_log"), QRect(24, 24, 441, 89));
    Memo_log_uart = b.memo(GroupBox3, QStringLiteral("Memo_log_uart"), QRect(512, 24, 465, 89));
    Memo_log->setAccessibleName(QStringLiteral("Operator log"));
    Memo_log_uart->setAccessibleName(QStringLiteral("Received bytes"));

    // Status bar: port state, progress, PC clock.
    StatusBar1 = b.add(new QStatusBar(window), QStringLiteral("StatusBar1"));
    StatusBar1->setFixedHeight(19);
    StatusBar1->setSizeGripEnabled(false);
    window->setStatusBar(StatusBar1);
    const int widths[3] = {300, 515, 50};
    for (int i = 0; i < 3; ++i) {
        statusPanels[i] = new QLabel(StatusBar1);
        statusPanels[i]->setObjectName(QStringLiteral("StatusPanel%1").arg(i));
        statusPanels[i]->setMinimumWidth(widths[i]);
        if (i < 2)
            statusPanels[i]->setMaximumWidth(widths[i]);
        StatusBar1->addWidget(statusPanels[i], i == 2 ? 1 : 0);
    }

    // Menus.
    QMenuBar *menu = window->menuBar();
    menu->setObjectName(QStringLiteral("MainMenu1"));
    File1 = b.add(menu->addMenu(QStringLiteral("&File")), QStringLiteral("File1"));
    N1 = File1->addAction(QStringLiteral("&Open"));
    N1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    N2 = File1->addAction(QStringLiteral("&Save"));
    N2->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    File1->addSeparator();
    N13 = File1->addAction(QStringLiteral("Save &logs..."));
    N14 = File1->addAction(QStringLiteral("&Clear logs"));
    N15 = File1->addAction(QStringLiteral("Save c&hart..."));
    File1->addSeparator();
    N3 = File1->addAction(QStringLiteral("E&xit"));
    N3->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    N4 = b.add(menu->addMenu(QStringLiteral("&System")), QStringLiteral("N4"));
    N5 = N4->addAction(QStringLiteral("&Options"));
    N12 = N4->addAction(QStringLiteral("&Find loggers..."));
    N17 = N4->addAction(QStringLiteral("&Listen to the line..."));
    N16 = N4->addAction(QStringLiteral("Line &statistics..."));
    N9 = b.add(menu->addMenu(QStringLiteral("&Help")), QStringLiteral("N9"));
    N10 = N9->addAction(QStringLiteral("&About..."));
    N11 = N9->addAction(QStringLiteral("&User manual"));
    N1->setObjectName(QStringLiteral("N1"));
    N2->setObjectName(QStringLiteral("N2"));
    N3->setObjectName(QStringLiteral("N3"));
    N5->setObjectName(QStringLiteral("N5"));
    N12->setObjectName(QStringLiteral("N12"));
    N13->setObjectName(QStringLiteral("N13"));
    N14->setObjectName(QStringLiteral("N14"));
    N15->setObjectName(QStringLiteral("N15"));
    N16->setObjectName(QStringLiteral("N16"));
    N17->setObjectName(QStringLiteral("N17"));
    N10->setObjectName(QStringLiteral("N10"));
    N11->setObjectName(QStringLiteral("N11"));
    readAction = new QAction(window);
    readAction->setObjectName(QStringLiteral("readAction"));
    readAction->setShortcut(QKeySequence(Qt::Key_F5));
    exportAction = new QAction(window);
    exportAction->setObjectName(QStringLiteral("exportAction"));
    exportAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_E));
    window->addAction(readAction);
    window->addAction(exportAction);

    // Tab goes as the eye reads: the top row, the tab bar, then each page down its columns and
    // the columns from left to right, and the logs last.
    const QList<QWidget *> tabOrder{
        BitBtn11, BitBtn12, BitBtn13, BitBtn14, BitBtn15, BitBtn16, BitBtn17, BitBtnStop, BitBtn27,
        Edit_addr, UD_addr, PageControl1,
        // First page.
        Grid_data, BitBtn1, BitBtn2, Check_unit, Check_constant, Check_user, Check_info,
        Check_tariffs, Check_initial, BitBtn10, BitBtn3, BitBtn5, BitBtn9, BitBtn4,
        // Second page.
        Grid_data2, BitBtn6, BitBtn8, BitBtn7, BitBtn28, Grid_flow, BitBtn31,
        // Service page: the password, then the left column, the two groups, the right column
        // and the information read below them all.
        MaskEdit1, BitBtn18, Edit_id, BitBtn19, Edit_address, BitBtn25, Combo_pulses, BitBtn26,
        Combo_polarity, BitBtn29, ComboBox1, ComboBox2, Button1, Edit1, Button2, BitBtn20,
        Combo_inputs, BitBtn30, BitBtn21, BitBtn22, BitBtn23, BitBtn24,
        // Monitor page.
        Spin_monitor_interval, Edit_monitor_addresses, BitBtn_monitor_start, BitBtn_monitor_stop,
        Check_monitor_log, BitBtn_monitor_file, Grid_monitor, Combo_monitor_quantity,
        Combo_monitor_address,
        // Logs.
        Memo_log, Memo_log_uart};
    for (qsizetype i = 1; i < tabOrder.size(); ++i)
        QWidget::setTabOrder(tabOrder[i - 1], tabOrder[i]);

    // Nothing in the two device groups can be used until a model is known.
    GroupBox1->setEnabled(false);
    GroupBox2->setEnabled(false);
    fitClientArea(client->size());
}

void MainWindowUi::fitClientArea(QSize size) {
    if (!GroupBox3)
        return;
    const int extraWidth = std::max(0, size.width() - kDesignedClientSize.width());
    int logs = kLogsHeight + size.height() - kDesignedClientSize.height();
    int pages = kPagesHeight;
    if (logs < kLogsLowest) {
        pages = std::max(0, pages - (kLogsLowest - logs));
        logs = kLogsLowest;
    }
    PageControl1->setGeometry(kMargin, kTopRowHeight, kPagesWidth, pages);
    GroupBox3->setGeometry(kMargin, kTopRowHeight + pages + kLogsGap, kPagesWidth + extraWidth,
                           logs);
    // The two panes share the extra width.
    const int leftExtra = extraWidth / 2;
    Memo_log->setGeometry(24, 24, 441 + leftExtra, logs - kLogsFrame);
    Memo_log_uart->setGeometry(512 + leftExtra, 24, 465 + extraWidth - leftExtra,
                               logs - kLogsFrame);
}

} // namespace corvane
