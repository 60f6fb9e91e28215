// The NFS service: the thread of row NFS runs PORTMAP, MOUNT and NFS (versions 2 and 3) over
// UDP and TCP for the folder NFS_RootDir, exported as NFS_ExportName.
#pragma once
#include "_services/host_records.h"

void RegisterNfsService();

// Builds the three RPC servers and programs from the settings and opens their ports. Returns 1.
int NfsStart(const GlobalSettings& settings);
// Closes every port (waiting for its threads), then frees the programs.
void NfsStop();
