// The thread of the BINL row.
#include <unistd.h>

#include "binl_ncq.h"
#include "binl_prepare.h"
#include "binl_service.h"
#include "dhcp_service.h"
#include "log.h"
#include "start_threads.h"

namespace {

void BinlThread() {
    if (SleepWhileRunning(TH_BINL, 3000)) {
        BinlRun run;
        run.keepGoing = [] { return ThreadSlots[TH_BINL].running.load() == 1; };
        BinlPrepare(&run);
        // Idle until the row is stopped. A preparation that stopped on a failure keeps
        // BinlPreparationCount raised until here, so DHCP sends no client to a half-made tree.
        while (ThreadSlots[TH_BINL].running.load() == 1) {
            if (Event* e = ThreadSlots[TH_BINL].event) e->Wait(1000);
            else usleep(100000);
        }
        RisTableUnavailable.store(1);
        usleep(100000);
        BinlFreeRisAssetTable();
    }  // the run closes its held components and lowers a count it still holds
    DebugTrace("Thread Inf: BINL thread ends here\n");
}

}  // namespace

void RegisterBinlService() {
    RegisterThreadFunction(TH_BINL, BinlThread);
    SetBinlMessageHandler(BinlHandleMessage);
}
