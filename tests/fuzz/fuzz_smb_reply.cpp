// The share self-test's SMB 1 client reads the replies of whatever answers on port 445.
#include <string>

#include "_services/binl/testshare.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const uint8_t commands[] = {smb1::kComNegotiate, smb1::kComSessionSetupAndX, smb1::kComNtCreateAndX,
                                       smb1::kComClose, smb1::kComLogoffAndX};
    for (uint8_t command : commands) {
        if (smb1::CheckReply(data, size, command) != smb1::ReplyCheck::Ok) continue;
        const uint32_t status = smb1::ReplyStatus(data);
        (void)smb1::StatusName(command, status);
        std::string server;
        uint16_t tid = 0, uid = 0, fid = 0;
        bool disk = false;
        switch (command) {
            case smb1::kComNegotiate:
                if (smb1::ParseNegotiate(data, size, &server) == smb1::NegotiateResult::Ok && server.size() > 15)
                    __builtin_trap();
                break;
            case smb1::kComSessionSetupAndX: (void)smb1::ParseSessionSetup(data, size, &tid, &uid, &disk); break;
            case smb1::kComNtCreateAndX: (void)smb1::ParseNtCreate(data, size, &fid); break;
            default: break;
        }
    }
    return 0;
}
