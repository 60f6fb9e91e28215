// The TFTP error-simulator setting and its drop decisions.
#include <cstring>
#include <initializer_list>

#include "_services/tftp_errsim.h"

namespace {
bool FixedRandom(uint32_t* values, size_t n) {
    for (size_t i = 0; i < n; ++i) values[i] = static_cast<uint32_t>(i * 2654435761u);
    return true;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char text[200] = {};
    memcpy(text, data, size < sizeof text - 1 ? size : sizeof text - 1);
    ErrorSimulatorRecord record{};
    if (ErrSimParse(text, &record) == 1) {
        // The delay is a deliberate sleep of up to 49 days per dropped block: parsed, not slept.
        record.delay = 0;
        for (uint32_t total : {1u, 7u, 1000u, 0xFFFFFFFFu}) {
            ErrorSimulatorRecord copy{};
            for (uint32_t block : {1u, 2u, 5u, 999u, total})
                ErrSimShouldDropWith(record, block, total, &copy, FixedRandom);
        }
    }
    return 0;
}
