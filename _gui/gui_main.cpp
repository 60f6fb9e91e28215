#include "_gui/gui_main.h"

#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QTimer>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <unistd.h>

#include "_gui/box_broker.h"
#include "_gui/console_client.h"
#include "_gui/main_window.h"
#include "_gui/single_instance.h"
#include "_services/host_info.h"
#include "_services/settings.h"
#include "_services/to_console.h"
#include "libs/log/log.h"

static void InitGuiResources() { Q_INIT_RESOURCE(gui); }

void EnsureGuiResources()
{
    static const bool done = (InitGuiResources(), true);
    (void)done;
}

namespace {

QApplication* g_app = nullptr;  // lives until the process ends
int g_argc = 1;
char g_argv0[] = "nimbo";
char* g_argv[] = {g_argv0, nullptr};

std::unique_ptr<InstanceGuard> g_guard;

// The window GuiRequestClose reaches; cleared before the window goes.
std::mutex g_closeMutex;
MainWindow* g_closeTarget = nullptr;

// SIGTERM ends the desktop by closing its window.
int g_termPipe[2] = {-1, -1};

void OnTerm(int)
{
    const char c = 1;
    [[maybe_unused]] ssize_t n = write(g_termPipe[1], &c, 1);
}

void EnsureApplication()
{
    if (!QCoreApplication::instance())
        g_app = new QApplication(g_argc, g_argv);
    EnsureGuiResources();
}

void OnIniFailure() { GuiRequestClose(GUI_CLOSE_INI_FAILURE); }

void SetCloseTarget(MainWindow* w)
{
    std::lock_guard<std::mutex> lock(g_closeMutex);
    g_closeTarget = w;
}

// Runs the event loop until every box shown without waiting has been closed.
void WaitForOpenBoxes()
{
    QCoreApplication::processEvents();
    while (OpenBoxCount() > 0)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
}

class TermWatch {
public:
    TermWatch()
    {
        if (pipe2(g_termPipe, O_CLOEXEC | O_NONBLOCK) != 0)
            return;
        struct sigaction sa {};
        sa.sa_handler = OnTerm;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        sigaction(SIGTERM, &sa, &previous_);
        notifier_ = std::make_unique<QSocketNotifier>(g_termPipe[0], QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, [] {
            char buf[16];
            while (read(g_termPipe[0], buf, sizeof(buf)) > 0) {}
            CloseOpenBoxes();
            GuiRequestClose(GUI_CLOSE_USER);
        });
    }
    ~TermWatch()
    {
        if (g_termPipe[0] < 0)
            return;
        sigaction(SIGTERM, &previous_, nullptr);
        notifier_.reset();
        close(g_termPipe[0]);
        close(g_termPipe[1]);
        g_termPipe[0] = g_termPipe[1] = -1;
    }

private:
    struct sigaction previous_ {};
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace

void GuiCreateApplication(int& argc, char** argv)
{
    if (!QCoreApplication::instance())
        g_app = new QApplication(argc, argv);
    EnsureGuiResources();
}

int GuiSingleInstanceCheck(const std::string& commandLine)
{
    EnsureApplication();
    const bool kill = commandLine.find("-kill") != std::string::npos;
    g_guard = std::make_unique<InstanceGuard>();
    if (!kill && g_guard->acquire())
        return 1;
    // Another instance runs, or "-kill".
    const OtherInstanceResult result = g_guard->contactFirst(kill);
    g_guard.reset();
    if (result == OTHER_ALREADY_RUNNING) {
        QMessageBox box(QMessageBox::Critical, ProgramTitle, "Nimbo is already running");
        box.exec();
    }
    return 0;
}

void GuiRequestClose(int origin)
{
    std::lock_guard<std::mutex> lock(g_closeMutex);
    if (g_closeTarget)
        QCoreApplication::postEvent(g_closeTarget, new CloseRequestEvent(origin));
}

int GuiMain()
{
    EnsureApplication();
    const QString helpPath = QString::fromStdString(GetProgramFilePath("Nimbo.chm"));
    StartBoxBroker();
    SetIniFailureHandler(&OnIniFailure);
    TermWatch term;

    ResetGuiConsole();
    const int port = WaitConsoleListening(5000);
    if (port > 0)
        GuiConsole().model.settings.ConsolePort = static_cast<uint16_t>(port);
    if (!ConnectToService("127.0.0.1")) {
        WaitForOpenBoxes();
        SetIniFailureHandler(nullptr);
        StopBoxBroker();
        g_guard.reset();
        return 0;
    }

    auto* window = new MainWindow(static_cast<uint32_t>(SettingsSnapshot().NIMBO_Services), helpPath);
    SetCloseTarget(window);
    if (g_guard) {
        g_guard->onRaise = [window] {
            window->showNormal();
            window->raise();
            window->activateWindow();
        };
        g_guard->onClose = [window] { window->requestClose(GUI_CLOSE_USER); };
        g_guard->onDestroy = [window] { window->endWithoutClose(); };
    }
    QEventLoop loop;
    QObject::connect(window, &MainWindow::closed, &loop, &QEventLoop::quit);
    if (!window->finished())
        loop.exec();
    SetCloseTarget(nullptr);
    if (g_guard) {
        g_guard->onRaise = nullptr;
        g_guard->onClose = nullptr;
        g_guard->onDestroy = nullptr;
    }
    WaitForOpenBoxes();
    delete window;
    SetIniFailureHandler(nullptr);
    StopBoxBroker();
    ResetGuiConsole();
    g_guard.reset();
    return 1;
}
