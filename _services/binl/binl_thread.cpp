// The thread of the BINL row.
#include <unistd.h>

#include "_services/binl/binl_ncq.h"
#include "_services/binl/binl_prepare.h"
#include "_services/binl/binl_service.h"
#include "_services/dhcp/dhcp_service.h"
#include "_services/dhcp/dhcp_settings.h"
#include "_services/start_threads.h"
#include "libs/log/log.h"

namespace {

// How long the preparation waits for the DHCP settings: loading a large stored lease
// table from slow storage takes a while, but not this long.
constexpr int kDhcpSettingsWaitMs = 300000;

bool Running() { return ThreadSlots[TH_BINL].running.load() == 1; }

void BinlThread() {
    // The preparation checks the DHCP settings, which the DHCP threads publish only once
    // their stored leases are loaded: it starts when they are there.
    BinlWaitForDhcpSettings(kDhcpSettingsWaitMs, Running);
    if (Running()) {
        BinlRun run;
        run.keepGoing = Running;
        BinlPrepare(&run);
        // Idle until the row is stopped. A preparation that stopped on a failure keeps
        // BinlPreparationCount raised until here, so DHCP sends no client to a half-made tree.
        while (ThreadSlots[TH_BINL].running.load() == 1) {
            if (Event* e = ThreadSlots[TH_BINL].event)
                e->Wait(1000);
            else
                usleep(100000);
        }
        RisTableUnavailable.store(1);
        usleep(100000);
        BinlFreeRisAssetTable();
    }  // the run closes its held components and lowers a count it still holds
    // The rows stop together: the next start waits for settings loaded anew.
    DhcpSettingsClearPublished();
    DebugTrace("Thread Inf: BINL thread ends here\n");
}

}  // namespace

void RegisterBinlService() {
    RegisterThreadFunction(TH_BINL, BinlThread);
    SetBinlMessageHandler(BinlHandleMessage);
}
