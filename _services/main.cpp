// Program entry: prepares the process, starts the service bootstrap thread, runs the desktop
// (or, without one, waits for SIGINT/SIGTERM) and stops every service on the way out.
#include <signal.h>
#include <strings.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>

#include "_services/log.h"
#include "_services/settings.h"
#include "libs/platform/sockets.h"
#include "_services/start_threads.h"

#ifdef NIMBO_HAVE_DHCP
#include "_services/dhcp/dhcp_service.h"
#endif
#ifdef NIMBO_HAVE_TFTP
#include "_services/tftpd_service.h"
#endif
#ifdef NIMBO_HAVE_BINL
#include "_services/binl/binl_service.h"
#endif
#ifdef NIMBO_HAVE_HTTP
#include "_services/http/http_service.h"
#endif
#ifdef NIMBO_HAVE_NFS
#include "_services/nfs/nfs_service.h"
#endif
#ifdef NIMBO_HAVE_FTP
#include "_services/ftp/ftp_service.h"
#endif
#ifdef NIMBO_HAVE_UDP
#include "_services/udp/udp_service.h"
#endif
#ifdef NIMBO_HAVE_GUI
#include "_gui/gui_main.h"
#endif

namespace {
std::string JoinCommandLine(int argc, char** argv) {
    std::string line;
    for (int i = 1; i < argc; ++i) {
        if (!line.empty()) line += ' ';
        std::string word = argv[i];
        if (word.find(' ') != std::string::npos) line += '"' + word + '"';
        else line += word;
    }
    return line;
}

void RegisterServices() {
#ifdef NIMBO_HAVE_DHCP
    RegisterDhcpService();
#endif
#ifdef NIMBO_HAVE_TFTP
    RegisterTftpService();
#endif
#ifdef NIMBO_HAVE_BINL
    RegisterBinlService();
#endif
#ifdef NIMBO_HAVE_HTTP
    RegisterHttpService();
#endif
#ifdef NIMBO_HAVE_NFS
    RegisterNfsService();
#endif
#ifdef NIMBO_HAVE_FTP
    RegisterFtpService();
#endif
#ifdef NIMBO_HAVE_UDP
    RegisterUdpServices();
#endif
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
