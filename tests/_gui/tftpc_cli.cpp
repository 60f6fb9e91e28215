// One TFTP client transfer from the command line, for the tests against real servers:
//   tftpc_cli get|put HOST PORT REMOTE LOCAL BLKSIZE WINDOWSIZE [DELAY_US]
// Prints "OK <md5> <blocks> <bytes>" or "ERR <text>"; exits 0 or 1.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>

#include "_gui/tftp_client_thread.h"

int main(int argc, char** argv)
{
    if (argc < 8) {
        fprintf(stderr, "usage: %s get|put HOST PORT REMOTE LOCAL BLKSIZE WINDOWSIZE [DELAY_US]\n", argv[0]);
        return 2;
    }
    TftpClientJob job;
    job.direction = strcmp(argv[1], "put") == 0 ? TFTPC_PUT : TFTPC_GET;
    job.server = argv[2];
    job.port = static_cast<uint16_t>(atoi(argv[3]));
    job.remoteName = argv[4];
    job.localPath = argv[5];
    job.blockSize = static_cast<uint32_t>(atoi(argv[6]));
    job.windowSize = static_cast<uint32_t>(atoi(argv[7]));
    job.interFrameDelayUs = argc > 8 ? static_cast<uint32_t>(atoi(argv[8])) : 0;
    std::string error;
    int fd = TftpClientOpenLocal(job.direction, job.localPath, &error);
    if (fd < 0) {
        printf("ERR %s\n", error.c_str());
        return 1;
    }
    std::promise<TftpClientOutcome> done;
    TftpClientThread thread;
    thread.Start(job, fd, nullptr, [&](const TftpClientOutcome& o) { done.set_value(o); });
    TftpClientOutcome o = done.get_future().get();
    thread.Join();
    if (!o.ok) {
        printf("ERR %s\n", o.text.c_str());
        return 1;
    }
    printf("OK %s %llu %llu\n", o.md5.c_str(), static_cast<unsigned long long>(o.blocks),
           static_cast<unsigned long long>(o.bytes));
    return 0;
}
