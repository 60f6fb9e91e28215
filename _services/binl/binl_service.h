// The BINL add-on: the thread of the BINL row, which prepares the TFTP root for PXE clients.
#pragma once

// Registers the BINL thread for its row; called by main before the services start.
void RegisterBinlService();
