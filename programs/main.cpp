// Program entry of nimbo and nimbo_headless: prepares the process, registers the services,
// starts the service bootstrap thread, runs the desktop (or, without one, waits for SIGINT or
// SIGTERM) and stops every service on the way out. It sits above the services and the desktop.
#include <signal.h>
#include <strings.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>

#include "_services/settings.h"
#include "_services/start_threads.h"
#include "libs/log/log.h"
#include "libs/platform/sockets.h"

#include "programs/nimbo_services.h"  // generated from NIMBO_SERVICES: RegisterServices()
#ifdef NIMBO_HAVE_GUI
#include "_gui/gui_main.h"
#endif

namespace {
std::string JoinCommandLine(int argc, char** argv) {
    std::string line;
    for (int i = 1; i < argc; ++i) {
        if (!line.empty()) line += ' ';
        std::string word = argv[i];
        if (word.find(' ') != std::string::npos)
            line += '"' + word + '"';
        else
            line += word;
    }
    return line;
}
}  // namespace

int main(int argc, char** argv) {
    IgnoreSigpipe();
#ifdef NIMBO_HAVE_GUI
    GuiCreateApplication(argc, argv);
#endif
    if (argc == 2 && strcasecmp(argv[1], "-uninstall") == 0) return 0;  // nothing is kept outside the INI file
    std::string commandLine = JoinCommandLine(argc, argv);
    ParseCommandLine(commandLine);
#ifdef NIMBO_HAVE_GUI
    if (!GuiSingleInstanceCheck(commandLine)) return 0;
#else
    // Without a desktop the process lives until SIGINT or SIGTERM.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
#endif
    RegisterServices();
    std::thread boot(ServiceBootThread);
#ifdef NIMBO_HAVE_GUI
    GuiMain();
    boot.join();
#else
    int sig = 0;
    sigwait(&stopSignals, &sig);
    boot.join();
    DebugTrace("signal %d: stopping services\n", sig);
    StopThreads(0);
#endif
    JoinThreadRow(TH_CONSOLE, 1500);
    usleep(600000);
    DebugTrace("That's all folks\n");
    fflush(nullptr);
#ifndef NIMBO_HAVE_GUI
    // Every thread has ended: the process ends as any program does, its objects destroyed
    // and, in sanitizer builds, its memory checked. A thread that would not end leaves no
    // choice but to end at once.
    if (JoinAllRows(2000)) return 0;
    DebugTrace("a service thread did not end\n");
    fflush(nullptr);
#else
    // The desktop libraries keep caches of their own until the process ends: the services'
    // threads are joined, then the process ends at once.
    JoinAllRows(2000);
#endif
    _exit(0);
}
