// The main window: a tab per configured service over the lists, the banner, the tray icon
// and the menu, the console socket's events, the one-shot timers and private messages, the
// saved position and the close that stops every service.
#pragma once
#include <QEvent>
#include <QMainWindow>
#include <QPointer>
#include <QSystemTrayIcon>
#include <cstdint>
#include <map>

#include "_gui/console_model.h"
#include "_gui/control_ids.h"

class QAction;
class QFrame;
class MainLists;
class QListWidget;
class QMenu;
class QSocketNotifier;
class QTabBar;
class QTimer;

// Private messages and timer ids of the main window.
enum PrivateMessage : int {
    PM_STARTUP = 0x8065,
    PM_HIDE = 0x8066,
    PM_TRIM = 0x8068,
    PM_SOCKET = 0x8069,
    PM_SERVICE_ENDED = 0x806A,
    PM_DISCONNECTED = 0x806B,
    PM_STOP_TRANSFER = 0x806D,
    PM_AFTER_STARTUP = 0x806E,
    PM_TRAY = 0x806F,
    PM_SET_WORKDIR = 0x8070,
    PM_STORE_SETTINGS = 0x8071,
    PM_STORE_DHCP = 0x8072,
    PM_FREE_LEASE = 0x8073,
    PM_ERASE_SETTINGS = 0x8074,
    PM_START_SERVICES = 0x8075,
};
// System commands: the numbers of the "Nimbo" menu's first four entries and of the service
// commands; the menu's actions call the window's slots directly.
enum SystemCommand : int {
    SC_MINIMIZE_TO_TRAY = 0x1000,
    SC_SETTINGS = 0x1001,
    SC_HELP = 0x1002,
    SC_ABOUT = 0x1003,
    SC_EXPLORE = 0x1004,
    SC_SUSPEND = 0x1005,
    SC_START = 0x1006,
    SC_RESTART = 0x1007,
};
// Tray callback codes (lparam of PM_TRAY).
constexpr intptr_t kTrayDoubleClick = 0x203;
constexpr intptr_t kTrayMenu = 0x204;

// Who asks the window to close.
enum CloseOrigin : int { CLOSE_USER = 0, CLOSE_INI_FAILURE = 1 };

class PrivateMessageEvent : public QEvent {
public:
    static const QEvent::Type kType;
    PrivateMessageEvent(int id, intptr_t lparam) : QEvent(kType), id(id), lparam(lparam) {}
    int id;
    intptr_t lparam;
};

class CloseRequestEvent : public QEvent {
public:
    static const QEvent::Type kType;
    explicit CloseRequestEvent(int origin) : QEvent(kType), origin(origin) {}
    int origin;
};

class MainWindow : public QMainWindow, public ConsoleView {
    Q_OBJECT
public:
    // servicesMask: the configured mask that chooses the tabs.
    MainWindow(uint32_t servicesMask, const QString& helpPath);
    ~MainWindow() override;

    // Posts a private message to the window (like a timer that has fired).
    void post(int id, intptr_t lparam = 0);
    // One-shot timer that posts its id after ms.
    void startOneShot(int id, int ms);
    void systemCommand(int command);
    // Asks for the close; CLOSE_INI_FAILURE does not save the position.
    void requestClose(int origin);
    // Ends the window at once, without the close sequence.
    void endWithoutClose();

public Q_SLOTS:
    // What the "Nimbo" menu, the tray and the system commands lead to.
    void showSettings();
    void toggleMinimizeToTray();
    void showHelp();
    void showAbout();

public:
    // The help at one of its pages (a path inside the help), or the missing-help balloon
    // at the anchor.
    void showHelpAt(QWidget* anchor, const QString& page);

public:
    bool finished() const { return finished_; }
    QStringList tabTexts() const;
    QWidget* control(int id) const;  // a MainWindowControl; none for a number without a widget
    QListWidget* logList() const { return logList_; }
    MainLists* lists() const { return lists_; }
    QAction* minimizeToTrayAction() const { return minimizeAction_; }
    QMenu* systemMenu() const { return systemMenu_; }
    int currentPageBit() const;
    bool linkLost() const { return linkLost_; }
    // Minimised, or hidden after having been shown: the lists keep their data but draw nothing.
    bool listsAsleep() const;
    // The tray icon's clicks: a click opens the menu at the cursor (once it is clear that no
    // second click follows), a double click the window and the settings.
    void trayActivated(QSystemTrayIcon::ActivationReason reason);

    // ConsoleView
    void AppendLog(const std::string& line) override;
    void ShowNoticeBox(const std::string& text) override;
    void WorkingDirectoriesChanged() override;
    void HostAddressesChanged() override;
    void DirectoryListing(const std::vector<std::string>& lines) override;
    void ListsChanged(uint32_t id) override;

Q_SIGNALS:
    void closed();

protected:
    void customEvent(QEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void showEvent(QShowEvent* e) override;
    void changeEvent(QEvent* e) override;
    bool event(QEvent* e) override;

private:
    void onPrivateMessage(int id, intptr_t lparam);
    void onSocketEvent();
    void buildControls();
    void buildMenu();
    void buildTabs(uint32_t mask);
    int showTabPage();
    void layoutMainWindow(bool initial);
    void widenCutLabels();
    void restoreWindowPos();
    void applyRestoredFrame();
    // Minimum size, size and place within the screen's available area.
    void fitOnScreen();
    int saveWindowPos();
    void runCloseSequence(int origin);
    void onStartup();
    int dluX(int v) const;
    int dluY(int v) const;

    QString helpPath_;
    uint32_t servicesMask_;
    QWidget* area_ = nullptr;
    QFrame* tabFrame_ = nullptr;
    QTabBar* tabBar_ = nullptr;
    QListWidget* logList_ = nullptr;
    MainLists* lists_ = nullptr;
    class TftpClientPane* tftpClient_ = nullptr;
    std::map<int, QWidget*> controls_;
    QMenu* systemMenu_ = nullptr;
    QAction* minimizeAction_ = nullptr;
    QSystemTrayIcon* tray_ = nullptr;
    QTimer* trayClick_ = nullptr;  // a click waits this long for its second half
    QSocketNotifier* notifier_ = nullptr;
    bool linkLost_ = false;
    bool closing_ = false;
    bool finished_ = false;
    int closeOrigin_ = CLOSE_USER;
    QRect restoredFrame_;  // saved position waiting for the first show
    bool shownOnce_ = false;
    QMargins appliedMargins_;     // frame margins the restored rectangle was set with
    QMargins fittedMargins_;      // frame margins of the last fit inside the screen
    bool frameSettling_ = false;  // shortly after the first show
    int baseX_ = 6, baseY_ = 13;
};

// The window of the running desktop, if any (GUI thread).
MainWindow* CurrentMainWindow();
