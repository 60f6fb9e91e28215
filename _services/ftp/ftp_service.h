// Registers the FTP server with the service host: the thread of row TH_FTP, which serves the
// anonymous and registered users' roots from the [FTP] settings.
#pragma once
#include "_services/host_records.h"

void RegisterFtpService();

// The row's thread; FtpStart and FtpStop are called only by it.
void FtpThread();
bool FtpStart();
void FtpStop();
