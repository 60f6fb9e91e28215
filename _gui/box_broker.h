// Message boxes for every thread of the program: the services' and the desktop's
// MessageBoxPrintf calls are shown by the GUI thread. Boxes with only OK do not wait
// (the caller gets 1 at once); question boxes wait for the answer. Once the desktop has
// ended, question boxes get their default button without being shown.
#pragma once
#include <functional>
#include <string>

class QWidget;

// Installs the handler into the host (SetMessageBoxHandler); Stop removes it and releases
// every caller still waiting.
void StartBoxBroker();
void StopBoxBroker();

// The handler itself (GUI thread or any other).
int GuiMessageBox(void* owner, const std::string& text, const std::string& caption, unsigned type);

// Tests replace the shown box by a function (called on the GUI thread).
using BoxHook = std::function<int(QWidget* owner, const std::string& text, const std::string& caption, unsigned type)>;
void SetBoxHook(BoxHook hook);

// Closes every box shown without waiting and not closed yet; the number of those still open.
void CloseOpenBoxes();
int OpenBoxCount();

// Default answer of a question box that cannot be shown.
int DefaultBoxButton(unsigned type);
