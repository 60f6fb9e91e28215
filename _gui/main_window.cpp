#include "_gui/main_window.h"
#include "_gui/about_dialog.h"
#include "_gui/settings_sheet.h"
#include "_gui/tftp_client_pane.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCursor>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSocketNotifier>
#include <QStyledItemDelegate>
#include <QSystemTrayIcon>
#include <QTabBar>
#include <QTextOption>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <QWindow>
#include <algorithm>
#include <cstring>
#include <malloc.h>
#include <vector>

#include "_gui/balloon.h"
#include "_gui/console_client.h"
#include "_gui/control_ids.h"
#include "_gui/directory_dialog.h"
#include "_gui/gui_main.h"
#include "_gui/list_views.h"
#include "_gui/main_lists.h"
#include "_gui/window_layout.h"
#include "_services/settings.h"
#include "_services/tftp_errsim.h"
#include "libs/log/log.h"
#include "libs/mini_tcp4u/tcp4u.h"

const QEvent::Type PrivateMessageEvent::kType = static_cast<QEvent::Type>(QEvent::registerEventType());
const QEvent::Type CloseRequestEvent::kType = static_cast<QEvent::Type>(QEvent::registerEventType());

namespace {

MainWindow* g_mainWindow = nullptr;
// Console frames taken in one pass of the event loop beyond the first.
constexpr int kFramesPerPass = 1024;
// Rest between two reads of the console link (ms): window shown, minimised or hidden.
constexpr int kReadRestMs = 50, kReadRestAsleepMs = 250;
// How long after the first show a window manager's frame may still change the margins.
constexpr int kFrameSettleMs = 1500;

}  // namespace

MainWindow* CurrentMainWindow() { return g_mainWindow; }

MainWindow::MainWindow(uint32_t servicesMask, const QString& helpPath)
    : helpPath_(helpPath), servicesMask_(servicesMask)
{
    g_mainWindow = this;
    EnsureGuiResources();
    setWindowTitle(ProgramTitle);
    setWindowIcon(QIcon(":/nimbo/nimbo.png"));
    setAttribute(Qt::WA_QuitOnClose, false);
    const QFontMetrics fm(font());
    baseX_ = qMax(1, fm.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") / 52);
    baseY_ = qMax(1, fm.height());

    ConsoleClient& console = GuiConsole();
    if (console.sock >= 0) {
        notifier_ = new QSocketNotifier(console.sock, QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, [this] {
            // One event per frame: the notifier stays off until the frame has been dispatched.
            notifier_->setEnabled(false);
            post(PM_SOCKET);
        });
    }
    SendAskWorkingDir();
    trayClick_ = new QTimer(this);
    trayClick_->setSingleShot(true);
    connect(trayClick_, &QTimer::timeout, this, [this] { post(PM_TRAY, kTrayMenu); });
    buildMenu();
    buildControls();
    lists_ = new MainLists(this);
    // The TFTP client pane drives its own controls (its buttons are connected to it).
    if (servicesMask_ & 0x2)
        tftpClient_ = new TftpClientPane([this](int id) { return control(id); }, this, this);
    buildTabs(servicesMask_);
    restoreWindowPos();
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        tray_ = new QSystemTrayIcon(windowIcon(), this);
        tray_->setToolTip(windowTitle().left(127));
        tray_->setContextMenu(systemMenu_);
        connect(tray_, &QSystemTrayIcon::activated, this, &MainWindow::trayActivated);
        DebugTrace("TrayMessage Call : msg %d <%s>, wnd %d, id %d\n", 0, "ADD", 0, 0x2B6B7241);
        tray_->show();
    }
    SendAskHostAddresses();
    startOneShot(PM_STARTUP, 500);
}

MainWindow::~MainWindow()
{
    // The pane reaches its controls through this window: it goes while the window is whole.
    delete tftpClient_;
    tftpClient_ = nullptr;
    if (g_mainWindow == this)
        g_mainWindow = nullptr;
}

int MainWindow::dluX(int v) const { return v * baseX_ / 4; }
int MainWindow::dluY(int v) const { return v * baseY_ / 8; }

void MainWindow::post(int id, intptr_t lparam)
{
    QCoreApplication::postEvent(this, new PrivateMessageEvent(id, lparam));
}

void MainWindow::startOneShot(int id, int ms)
{
    QTimer::singleShot(ms, this, [this, id] { post(id); });
}

void MainWindow::customEvent(QEvent* e)
{
    if (e->type() == PrivateMessageEvent::kType) {
        auto* pm = static_cast<PrivateMessageEvent*>(e);
        onPrivateMessage(pm->id, pm->lparam);
    } else if (e->type() == CloseRequestEvent::kType) {
        requestClose(static_cast<CloseRequestEvent*>(e)->origin);
    }
}

void MainWindow::buildMenu()
{
    systemMenu_ = menuBar()->addMenu("&Nimbo");
    QAction* settings = systemMenu_->addAction("&Settings", this, &MainWindow::showSettings);
    minimizeAction_ = systemMenu_->addAction("&Minimize to Tray", this, &MainWindow::toggleMinimizeToTray);
    minimizeAction_->setCheckable(true);
    systemMenu_->addAction("&Help", this, [this] { showHelp(); });
    systemMenu_->addAction("&About/License", this, &MainWindow::showAbout);
    systemMenu_->addSeparator();
    systemMenu_->addAction("&Close", this, &QWidget::close);
    systemMenu_->setDefaultAction(settings);
}

void MainWindow::buildControls()
{
    area_ = new QWidget(this);
    setCentralWidget(area_);
    for (const LayoutRow& row : kLayoutTable) {
        QWidget* w = nullptr;
        switch (row.kind) {
        case CK_TEXT: {
            auto* label = new QLabel(row.text, area_);
            if (row.id == CTL_MAIN_HINT) {
                label->setAlignment(Qt::AlignCenter);
                label->setWordWrap(true);
            }
            w = label;
            break;
        }
        case CK_TAB: {
            tabFrame_ = new QFrame(area_);
            tabFrame_->setFrameShape(QFrame::StyledPanel);
            tabBar_ = new QTabBar(tabFrame_);
            tabBar_->setExpanding(false);
            tabBar_->setDrawBase(false);
            connect(tabBar_, &QTabBar::currentChanged, this, [this] { showTabPage(); });
            w = tabFrame_;
            break;
        }
        case CK_BANNER: {
            auto* button = new QPushButton(area_);
            button->setFlat(true);
            button->setFocusPolicy(Qt::NoFocus);
            const QPixmap banner(":/nimbo/banner.png");
            if (!banner.isNull())
                button->setIcon(QIcon(banner));
            w = button;
            break;
        }
        case CK_LIST:
            if (row.id == CTL_MAIN_LOG_LIST) {
                logList_ = new QListWidget(area_);
                logList_->setUniformItemSizes(true);
                logList_->setItemDelegate(new LogLineDelegate(dluX(4), logList_));
                w = logList_;
            } else {
                auto* list = new QTreeWidget(area_);
                list->setHeaderLabels({row.text});
                list->setRootIsDecorated(false);
                w = list;
            }
            break;
        case CK_EDIT: w = new QLineEdit(area_); break;
        case CK_COMBO: w = new QComboBox(area_); break;
        case CK_BUTTON: w = new QPushButton(row.text, area_); break;
        case CK_PROGRESS: w = new QProgressBar(area_); break;
        case CK_NONE: continue;
        }
        w->setObjectName(ControlObjectName(row.id));
        controls_[row.id] = w;
    }
    setMinimumSize(dluX(kMinTrackWidth), dluY(kMinTrackHeight));
}

QWidget* MainWindow::control(int id) const
{
    auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : it->second;
}

QStringList MainWindow::tabTexts() const
{
    QStringList texts;
    for (int i = 0; i < tabBar_->count(); ++i)
        texts << tabBar_->tabText(i);
    return texts;
}

void MainWindow::buildTabs(uint32_t mask)
{
    const QSignalBlocker block(tabBar_);
    while (tabBar_->count() > 0)
        tabBar_->removeTab(0);
    for (const TabRow& row : TabsForMask(mask)) {
        const int index = tabBar_->addTab(row.text);
        tabBar_->setTabData(index, row.page);
    }
    layoutMainWindow(true);
    if (tabBar_->count() > 0)
        tabBar_->setCurrentIndex(tabBar_->count() - 1);
    showTabPage();
    tabFrame_->lower();
    for (int id : {CTL_TFTPC_PUT, CTL_TFTPC_GET, CTL_TFTPC_REMOTE_FILE, CTL_TFTPC_LOCAL_FILE, CTL_TFTPC_SERVER})
        if (QWidget* w = control(id))
            w->raise();
}

int MainWindow::currentPageBit() const
{
    const int index = tabBar_->currentIndex();
    return static_cast<int>(PageBit(index < 0 ? -1 : tabBar_->tabData(index).toInt()));
}

int MainWindow::showTabPage()
{
    const uint32_t bit = static_cast<uint32_t>(currentPageBit());
    for (const LayoutRow& row : kLayoutTable)
        if (QWidget* w = control(row.id); w && (static_cast<uint32_t>(row.pages) & bit) == 0)
            w->hide();
    for (const LayoutRow& row : kLayoutTable)
        if (QWidget* w = control(row.id); w && (static_cast<uint32_t>(row.pages) & bit) != 0)
            w->show();
    const int index = tabBar_->currentIndex();
    return index < 0 ? -1 : tabBar_->tabData(index).toInt();
}

void MainWindow::layoutMainWindow(bool initial)
{
    if (!area_)
        return;
    if (initial) {
        move(dluX(kInitialX), dluY(kInitialY));
        resize(dluX(kInitialRight - kInitialX), dluY(kInitialBottom - kInitialY));
        fitOnScreen();
    }
    const int dW = area_->width() - dluX(kInitialRight - kInitialX);
    const int dH = area_->height() - dluY(kInitialBottom - kInitialY);
    for (const LayoutRow& row : kLayoutTable) {
        QWidget* w = control(row.id);
        if (!w)
            continue;
        const Rect base{dluX(row.x), dluY(row.y), dluX(row.w), dluY(row.h)};
        Rect r = GrowRect(base, row, dW, dH);
        if (row.id == CTL_MAIN_HINT) {
            // The hint wraps inside the window instead of running off both of its sides.
            r = FitWidthInside(r, area_->width(), dluX(4));
            r.h = qMax(r.h, static_cast<QLabel*>(w)->heightForWidth(r.w));
        }
        if (row.kind == CK_COMBO)
            r.h = w->sizeHint().height();  // the table's height is that of the open list
        w->setGeometry(r.x, r.y, r.w, r.h);
        if (row.kind == CK_BANNER)
            static_cast<QPushButton*>(w)->setIconSize(QSize(r.w, r.h));
    }
    widenCutLabels();
    if (tabBar_)
        tabBar_->setGeometry(0, 0, tabFrame_->width(), tabBar_->sizeHint().height());
    area_->update();
}

// A label of the table narrower than its text and a small gap (the font is wider than the one
// the table was made for) takes that width, and what follows it on its row moves right by as
// much; the labels are taken from left to right, so that the moves add up along a row.
void MainWindow::widenCutLabels()
{
    std::vector<QLabel*> labels;
    for (const LayoutRow& row : kLayoutTable)
        if (auto* label = qobject_cast<QLabel*>(control(row.id)); label && row.kind == CK_TEXT && !label->wordWrap())
            labels.push_back(label);
    std::sort(labels.begin(), labels.end(), [](const QLabel* a, const QLabel* b) { return a->x() < b->x(); });
    for (QLabel* label : labels) {
        const int extra = label->sizeHint().width() + dluX(2) - label->width();
        if (extra <= 0)
            continue;
        const QRect was = label->geometry();
        label->resize(label->width() + extra, label->height());
        for (const LayoutRow& row : kLayoutTable) {
            QWidget* w = control(row.id);
            if (!w || w == label || row.kind == CK_TAB || row.kind == CK_BANNER || row.kind == CK_LIST)
                continue;
            const QRect g = w->geometry();
            if (g.left() > was.right() && g.top() <= was.bottom() && g.bottom() >= was.top())
                w->move(g.x() + extra, g.y());
        }
    }
}

void MainWindow::resizeEvent(QResizeEvent* e)
{
    QMainWindow::resizeEvent(e);
    layoutMainWindow(false);
}

void MainWindow::fitOnScreen()
{
    const QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen();
    if (!s)
        return;
    const QRect area = s->availableGeometry();
    QMargins frame;
    if (windowHandle())
        frame = windowHandle()->frameMargins();
    fittedMargins_ = frame;
    const QSize room(area.width() - frame.left() - frame.right(), area.height() - frame.top() - frame.bottom());
    setMinimumSize(QSize(dluX(kMinTrackWidth), dluY(kMinTrackHeight)).boundedTo(room));
    if (width() > room.width() || height() > room.height())
        resize(size().boundedTo(room));
    // Moved inside the area, the title bar first.
    const QRect f = geometry().marginsAdded(frame);
    const int x = qMax(area.left(), qMin(f.left(), area.right() + 1 - f.width()));
    const int y = qMax(area.top(), qMin(f.top(), area.bottom() + 1 - f.height()));
    if (x != f.left() || y != f.top())
        move(x, y);
}

void MainWindow::restoreWindowPos()
{
    char buf[128] = {};
    IniReadValue("SOFTWARE\\NIMBO", "NIMBO_LastWindowPos", buf, sizeof(buf), SETTING_TEXT, IniPath().c_str());
    buf[sizeof(buf) - 1] = 0;
    const QRect vs = QGuiApplication::primaryScreen() ? QGuiApplication::primaryScreen()->virtualGeometry() : QRect();
    const auto r = ParseWindowPos(buf, Rect{vs.x(), vs.y(), vs.width(), vs.height()});
    if (!r)
        return;
    // The saved rectangle is the frame's; the frame is known once the window shows, so the
    // size is set again then.
    restoredFrame_ = QRect(r->left, r->top, r->right - r->left, r->bottom - r->top);
    applyRestoredFrame();
}

// The saved rectangle is the frame's: the window gets it less the frame's margins as they
// are now. A window manager adds its frame after the first show; the rectangle is set again
// when the margins change, for a short while after the show, so that the window neither
// grows nor moves from one start to the next.
void MainWindow::applyRestoredFrame()
{
    if (restoredFrame_.isNull())
        return;
    appliedMargins_ = windowHandle() ? windowHandle()->frameMargins() : QMargins();
    const QRect inner = restoredFrame_.marginsRemoved(appliedMargins_);
    resize(inner.size());
    move(restoredFrame_.topLeft());
}

bool MainWindow::event(QEvent* e)
{
    const bool done = QMainWindow::event(e);
    // While the frame settles: the saved rectangle set again, or the window fitted inside the
    // screen again, with the frame's margins as they are now.
    if ((e->type() == QEvent::Move || e->type() == QEvent::Resize) && frameSettling_ && windowHandle()) {
        const QMargins margins = windowHandle()->frameMargins();
        if (!restoredFrame_.isNull()) {
            if (margins != appliedMargins_)
                applyRestoredFrame();
        } else if (margins != fittedMargins_) {
            fitOnScreen();
        }
    }
    return done;
}

bool MainWindow::listsAsleep() const { return isMinimized() || (shownOnce_ && !isVisible()); }

void MainWindow::changeEvent(QEvent* e)
{
    QMainWindow::changeEvent(e);
    if (e->type() == QEvent::WindowStateChange && !isMinimized() && lists_)
        lists_->Flush();
}

void MainWindow::showEvent(QShowEvent* e)
{
    QMainWindow::showEvent(e);
    const bool first = !shownOnce_;
    shownOnce_ = true;
    if (lists_)
        QTimer::singleShot(0, lists_, &MainLists::Flush);
    if (!first)
        return;
    if (!restoredFrame_.isNull())
        applyRestoredFrame();
    else
        fitOnScreen();
    frameSettling_ = true;
    QTimer::singleShot(kFrameSettleMs, this, [this] {
        frameSettling_ = false;
        restoredFrame_ = QRect();
        fitOnScreen();
    });
}

int MainWindow::saveWindowPos()
{
    const QRect f = frameGeometry();
    char buf[128] = {};
    const std::string text = FormatWindowPos(SavedRect{f.x(), f.y(), f.x() + f.width(), f.y() + f.height()});
    std::strncpy(buf, text.c_str(), sizeof(buf) - 1);
    if (PostSettingWrite("SOFTWARE\\NIMBO", "NIMBO_LastWindowPos", buf, sizeof(buf), SETTING_TEXT, IniPath().c_str()) ==
        0) {
        MessageBoxPrintf(this, "Error saving Nimbo.ini parameter ", ProgramTitle, MB_OK | MB_ICONWARNING);
        return 0;
    }
    return 1;
}

void MainWindow::onPrivateMessage(int id, intptr_t lparam)
{
    GlobalSettings& copy = GuiConsole().model.settings;
    switch (id) {
    case PM_STARTUP: onStartup(); break;
    case PM_HIDE: hide(); break;
    case PM_TRIM: malloc_trim(0); break;
    case PM_SOCKET: onSocketEvent(); break;
    case PM_SERVICE_ENDED:
        MessageBoxPrintf(this, "Nimbo service has ended\nThis session will terminate", ProgramTitle,
                         MB_OK | MB_ICONWARNING);
        close();
        break;
    case PM_DISCONNECTED:
        MessageBoxPrintf(this, "Nimbo has been disconnected from the service\nThis session will terminate",
                         ProgramTitle, MB_OK | MB_ICONWARNING);
        close();
        break;
    case PM_STOP_TRANSFER: SendStopTransfer(static_cast<uint32_t>(lparam)); break;
    case PM_AFTER_STARTUP:
        if (copy.NIMBO_HideWnd && tray_)
            startOneShot(PM_HIDE, 0);
        startOneShot(PM_TRIM, 2000);
        break;
    case PM_TRAY:
        if (lparam == kTrayDoubleClick) {
            showNormal();
            raise();
            activateWindow();
            minimizeAction_->setChecked(false);
            showSettings();
        } else if (lparam == kTrayMenu) {
            systemMenu_->popup(QCursor::pos());
        }
        break;
    case PM_SET_WORKDIR:
        SendSetWorkingDir(copy.WorkingDirectory);
        SendAskWorkingDir();
        break;
    case PM_STORE_SETTINGS:
        SendStoreGlobalSettings();
        std::memcpy(copy.WorkingDirectory, copy.TFTP_RootDirectory, sizeof(copy.WorkingDirectory));
        copy.WorkingDirectory[sizeof(copy.WorkingDirectory) - 1] = 0;
        SendAskWorkingDir();
        break;
    case PM_STORE_DHCP: SendStoreDhcpSettings(); break;
    case PM_FREE_LEASE: SendFreeLease(static_cast<uint32_t>(lparam)); break;
    case PM_ERASE_SETTINGS: SendEraseSettings(); break;
    case PM_START_SERVICES: SendStartServices(); break;
    default: break;
    }
}

void MainWindow::trayActivated(QSystemTrayIcon::ActivationReason reason)
{
    switch (reason) {
    case QSystemTrayIcon::Trigger: trayClick_->start(QApplication::doubleClickInterval()); break;
    case QSystemTrayIcon::DoubleClick:
        trayClick_->stop();
        post(PM_TRAY, kTrayDoubleClick);
        break;
    default: break;  // the context menu is the system menu itself
    }
}

void MainWindow::onStartup()
{
    show();
    const GlobalSettings& copy = GuiConsole().model.settings;
    if ((copy.NIMBO_Services & SVC_TFTP_SERVER) && ErrSimLiveRecord().mode != ERRSIM_OFF) {
        // Packets are being dropped on purpose: say so before anyone wonders why.
        char text[sizeof copy.TFTP_ErrorSimulator + 1] = {};
        std::memcpy(text, copy.TFTP_ErrorSimulator, sizeof copy.TFTP_ErrorSimulator);
        LogPrint(1, "TFTP Warn: The Error Simulation engine is ON; %s", text);
    }
    // The log list's filter and the TFTP warnings come with the lists.
    if (GuiConsole().model.settings.NIMBO_Services == 0) {
        showAbout();
        if (closing_ || finished_)
            return;
        QPoint at = mapToGlobal(QPoint(dluX(4), 0));
        if (QAction* menu = systemMenu_->menuAction())
            at = menuBar()->mapToGlobal(menuBar()->actionGeometry(menu).center());
        ShowBalloon(ProgramTitle, " Click icon for menu\n Double-click for settings.", this, this, BALLOON_ICON_INFO,
                    true, 0, at, false);
    }
    post(PM_AFTER_STARTUP);
}

void MainWindow::onSocketEvent()
{
    ConsoleClient& console = GuiConsole();
    if (linkLost_ || console.sock < 0)
        return;
    // The frames that are already there are taken in the same pass, a bounded number, so
    // that a burst of notices costs one pass of the event loop rather than one each; the link
    // is read in large pieces, not once per frame.
    int rc = 1;
    for (int frames = 0; frames <= kFramesPerPass && !linkLost_ && console.sock >= 0; ++frames) {
        rc = GuiDispatchConsoleMsg(this, console.sock, false);
        if (rc == TCP4U_TIMEOUT) {
            rc = 1;  // nothing more for now
            break;
        }
        if (rc <= 0)
            break;
    }
    if (linkLost_)
        return;
    if (rc > 0) {
        // The link is read again after a short rest, so that a stream of notices wakes the
        // window a few dozen times a second rather than once per notice; longer while
        // nothing is drawn. The notices wait in the socket meanwhile; frames already
        // received are taken without waiting for the socket.
        if (notifier_)
            QTimer::singleShot(listsAsleep() ? kReadRestAsleepMs : kReadRestMs, notifier_, [this] {
                if (GuiConsoleFrameWaiting())
                    post(PM_SOCKET);
                else
                    notifier_->setEnabled(true);
            });
        return;
    }
    linkLost_ = true;
    post(rc == 0 ? PM_SERVICE_ENDED : PM_DISCONNECTED);
}

void MainWindow::systemCommand(int command)
{
    switch (command) {
    case SC_MINIMIZE_TO_TRAY: toggleMinimizeToTray(); break;
    case SC_SETTINGS: showSettings(); break;
    case SC_HELP: showHelp(); break;
    case SC_ABOUT: showAbout(); break;
    case SC_EXPLORE:
        QDesktopServices::openUrl(QUrl::fromLocalFile(GuiConsole().model.settings.WorkingDirectory));
        break;
    case SC_SUSPEND: SendSuspendServices(); break;
    case SC_START: SendStartServices(); break;
    case SC_RESTART:
        SendSuspendServices();
        startOneShot(PM_START_SERVICES, 1000);
        break;
    default: break;
    }
}

void MainWindow::showSettings()
{
    DebugTrace("GUI: settings requested\n");
    ShowSettingsSheet(this, helpPath_);
}

void MainWindow::toggleMinimizeToTray()
{
    if (!tray_) {
        // Without a tray the window must stay reachable: it is minimised instead.
        const bool minimise = !isMinimized() && isVisible();
        minimizeAction_->setChecked(minimise);
        if (minimise)
            showMinimized();
        else
            showNormal();
        return;
    }
    minimizeAction_->setChecked(isVisible());
    if (isVisible())
        hide();
    else
        show();
}

void MainWindow::showHelp() { showHelpAt(this, QString()); }

void MainWindow::showHelpAt(QWidget* anchor, const QString& page)
{
    if (!QFileInfo::exists(helpPath_)) {
        ShowBalloon(QString(), "Error:\nNimbo couldn't find \"Nimbo.chm\"", anchor, this, BALLOON_ICON_NONE, true, 0,
                    std::nullopt, false);
        return;
    }
    // A page of the help, where the help has been unpacked beside its file; else the file.
    const QString unpacked = QFileInfo(helpPath_).absolutePath() + '/' + page;
    QDesktopServices::openUrl(
        QUrl::fromLocalFile(!page.isEmpty() && QFileInfo::exists(unpacked) ? unpacked : helpPath_));
}

void MainWindow::showAbout() { ShowAboutDialog(this); }

// ---- console notices that reach the window ----

void MainWindow::AppendLog(const std::string& line) { lists_->AppendLogLine(QString::fromLocal8Bit(line.c_str())); }

void MainWindow::ShowNoticeBox(const std::string& text)
{
    MessageBoxPrintf(this, "%s", ProgramTitle, MB_OK | MB_ICONERROR, text.c_str());
}

void MainWindow::WorkingDirectoriesChanged() {}

void MainWindow::HostAddressesChanged() {}

void MainWindow::DirectoryListing(const std::vector<std::string>& lines)
{
    // The dialog returns at once: the link goes on being read while it is open.
    ShowDirectoryDialog(this, lines);
}

void MainWindow::ListsChanged(uint32_t id) { lists_->OnNotice(id, GuiConsole().model); }

// ---- close ----

void MainWindow::requestClose(int origin)
{
    if (closing_ || finished_)
        return;
    closeOrigin_ = origin;
    close();
}

void MainWindow::closeEvent(QCloseEvent* e)
{
    if (finished_) {
        e->accept();
        return;
    }
    if (closing_) {
        e->ignore();
        return;
    }
    closing_ = true;
    runCloseSequence(closeOrigin_);
    e->accept();
}

void MainWindow::runCloseSequence(int origin)
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
    if (origin != CLOSE_INI_FAILURE)
        saveWindowPos();
    QThread::msleep(200);
    SetGuiQuiet();
    LogDisable();
    BalloonClose();
    for (QDialog* dialog : findChildren<QDialog*>())
        if (dialog->objectName() != "nimboBox" && dialog->isVisible())
            dialog->close();
    DebugTrace("------- stopping services\n");
    if (notifier_)
        notifier_->setEnabled(false);
    SendStopAll();
    QThread::msleep(1100);
    delete notifier_;
    notifier_ = nullptr;
    CloseConsole();
    DebugTrace("------ services stopped\n");
    QApplication::restoreOverrideCursor();
    if (tray_) {
        DebugTrace("TrayMessage Call : msg %d <%s>, wnd %d, id %d\n", 2, "DELETE", 0, 0x2B6B7241);
        tray_->hide();
        delete tray_;
        tray_ = nullptr;
    }
    finished_ = true;
    Q_EMIT closed();
}

void MainWindow::endWithoutClose()
{
    if (finished_)
        return;
    delete notifier_;
    notifier_ = nullptr;
    delete tray_;
    tray_ = nullptr;
    finished_ = true;
    hide();
    Q_EMIT closed();
}
