#include "_gui/box_broker.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QThread>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include "_services/host_records.h"
#include "libs/log/log.h"

namespace {

std::mutex g_mutex;
std::condition_variable g_answered;
bool g_running = false;
QObject* g_receiver = nullptr;  // lives on the GUI thread
BoxHook g_hook;                 // GUI thread only
std::vector<QPointer<QMessageBox>> g_openBoxes;

struct PendingBox {
    bool done = false;
    int result = 0;
};

bool IsQuestion(unsigned type)
{
    const unsigned buttons = type & 0xF;
    return buttons >= 1 && buttons <= 5;
}

QMessageBox::Icon BoxIcon(unsigned type)
{
    switch (type & 0xF0) {
    case MB_ICONERROR: return QMessageBox::Critical;
    case MB_ICONQUESTION: return QMessageBox::Question;
    case MB_ICONWARNING: return QMessageBox::Warning;
    case MB_ICONINFORMATION: return QMessageBox::Information;
    default: return QMessageBox::NoIcon;
    }
}

struct ButtonSet {
    QMessageBox::StandardButton buttons[3];
    int ids[3];
    int count;
};

ButtonSet Buttons(unsigned type)
{
    using B = QMessageBox;
    switch (type & 0xF) {
    case MB_OKCANCEL: return {{B::Ok, B::Cancel, B::NoButton}, {IDOK, IDCANCEL, 0}, 2};
    case MB_ABORTRETRYIGNORE: return {{B::Abort, B::Retry, B::Ignore}, {IDABORT, IDRETRY, IDIGNORE}, 3};
    case MB_YESNOCANCEL: return {{B::Yes, B::No, B::Cancel}, {IDYES, IDNO, IDCANCEL}, 3};
    case MB_YESNO: return {{B::Yes, B::No, B::NoButton}, {IDYES, IDNO, 0}, 2};
    case MB_RETRYCANCEL: return {{B::Retry, B::Cancel, B::NoButton}, {IDRETRY, IDCANCEL, 0}, 2};
    default: return {{B::Ok, B::NoButton, B::NoButton}, {IDOK, 0, 0}, 1};
    }
}

int DefaultIndex(unsigned type, int count)
{
    int index = (type & MB_DEFBUTTON3) ? 2 : (type & MB_DEFBUTTON2) ? 1 : 0;
    return index < count ? index : 0;
}

QMessageBox* MakeBox(QWidget* owner, const std::string& text, const std::string& caption, unsigned type)
{
    auto* box = new QMessageBox(BoxIcon(type), QString::fromStdString(caption), QString::fromStdString(text),
                                QMessageBox::NoButton, owner);
    const ButtonSet set = Buttons(type);
    for (int i = 0; i < set.count; ++i)
        box->addButton(set.buttons[i]);
    box->setDefaultButton(set.buttons[DefaultIndex(type, set.count)]);
    box->setObjectName("nimboBox");
    return box;
}

int ShowOnGuiThread(QWidget* owner, const std::string& text, const std::string& caption, unsigned type)
{
    if (g_hook)
        return g_hook(owner, text, caption, type);
    QMessageBox* box = MakeBox(owner, text, caption, type);
    if (!IsQuestion(type)) {
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setModal(false);
        box->show();
        g_openBoxes.emplace_back(box);
        return 1;
    }
    const auto clicked = static_cast<QMessageBox::StandardButton>(box->exec());
    const ButtonSet set = Buttons(type);
    int result = set.ids[DefaultIndex(type, set.count)];
    for (int i = 0; i < set.count; ++i)
        if (set.buttons[i] == clicked)
            result = set.ids[i];
    delete box;
    return result;
}

bool OnGuiThread() { return qApp && QThread::currentThread() == qApp->thread(); }

}  // namespace

int DefaultBoxButton(unsigned type)
{
    if (!IsQuestion(type))
        return 1;
    const ButtonSet set = Buttons(type);
    return set.ids[DefaultIndex(type, set.count)];
}

void StartBoxBroker()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_receiver)
        g_receiver = new QObject;
    g_running = true;
    SetMessageBoxHandler(&GuiMessageBox);
}

void StopBoxBroker()
{
    SetMessageBoxHandler(nullptr);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_running = false;
    g_answered.notify_all();
}

void SetBoxHook(BoxHook hook) { g_hook = std::move(hook); }

int GuiMessageBox(void* owner, const std::string& text, const std::string& caption, unsigned type)
{
    if (OnGuiThread())
        return ShowOnGuiThread(static_cast<QWidget*>(owner), text, caption, type);

    std::unique_lock<std::mutex> lock(g_mutex);
    if (!g_running || !g_receiver) {
        lock.unlock();
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
        return DefaultBoxButton(type);
    }
    if (!IsQuestion(type)) {
        QMetaObject::invokeMethod(
            g_receiver, [text, caption, type] { ShowOnGuiThread(nullptr, text, caption, type); }, Qt::QueuedConnection);
        return 1;
    }
    auto pending = std::make_shared<PendingBox>();
    QMetaObject::invokeMethod(
        g_receiver,
        [pending, text, caption, type] {
            const int result = ShowOnGuiThread(nullptr, text, caption, type);
            std::lock_guard<std::mutex> guard(g_mutex);
            pending->result = result;
            pending->done = true;
            g_answered.notify_all();
        },
        Qt::QueuedConnection);
    g_answered.wait(lock, [&] { return pending->done || !g_running; });
    return pending->done ? pending->result : DefaultBoxButton(type);
}

void CloseOpenBoxes()
{
    for (auto& box : g_openBoxes)
        if (box)
            box->close();
    g_openBoxes.clear();
}

int OpenBoxCount()
{
    int n = 0;
    for (auto& box : g_openBoxes)
        if (box && box->isVisible())
            ++n;
    return n;
}
