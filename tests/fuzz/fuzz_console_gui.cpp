// Console-link notices on the desktop side: the dispatcher that fills the desktop's model.
#include <vector>

#include "_gui/console_model.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ConsoleModel model;
    static ConsoleView view;
    std::vector<uint8_t> frame(data, data + size);
    DispatchConsoleFrame(model, (size & 1) ? &view : nullptr, frame.data(), frame.size());
    return 0;
}
