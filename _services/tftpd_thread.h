// The TFTP service thread and its transfer list.
#pragma once
#include <cstddef>
#include <cstdint>

void TftpThread();
// Request 200: sends ERROR 99 to the client of that transfer and stops it (state 2).
void TftpStopTransfer(uint32_t transferNumber);
// Sends notice 102 for every busy transfer.
void TftpReportProgress();
// Number of records in the transfer list.
size_t TftpTransferCount();
