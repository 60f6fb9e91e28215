// Registers the TFTP server with the service host: the thread of row TH_TFTP and the
// console hook that stops one transfer (request 200).
#pragma once

void RegisterTftpService();
