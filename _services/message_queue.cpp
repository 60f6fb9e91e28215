#include "_services/message_queue.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>

namespace {
struct Item {
    std::vector<uint8_t> data;
    int sequence;
    uint32_t flags;
};
struct QueueSlot {
    std::mutex m;
    std::condition_variable emptied;
    std::deque<Item> items;
    int nextSequence = 1;
    int capacity = 0;
    bool abandoned = false;
};
QueueSlot g_queues[9];

bool ValidId(int id) { return id >= 0 && id <= 8; }
}  // namespace

int QueueCreate(int id, int capacity) {
    if (!ValidId(id)) return -1;
    QueueSlot& q = g_queues[id];
    std::lock_guard<std::mutex> lk(q.m);
    q.items.clear();
    q.nextSequence = 1;
    q.capacity = capacity;
    q.abandoned = false;
    return id;
}

void QueueDestroy(int id) {
    if (!ValidId(id)) return;
    QueueSlot& q = g_queues[id];
    std::lock_guard<std::mutex> lk(q.m);
    q.capacity = 0;
    q.items.clear();
    q.emptied.notify_all();
}

int QueuePostEx(int id, const void* data, size_t length, uint32_t flags, int* countAfter) {
    if (!ValidId(id)) return 0;
    Item item;
    try {
        item.data.assign(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + length);
    } catch (...) { return 0; }
    item.flags = flags;
    QueueSlot& q = g_queues[id];
    std::lock_guard<std::mutex> lk(q.m);
    if (static_cast<int>(q.items.size()) + 1 >= q.capacity) return 0;
    item.sequence = q.nextSequence++;
    q.items.push_back(std::move(item));
    if (countAfter) *countAfter = static_cast<int>(q.items.size());
    return 1;
}

int QueuePost(int id, const void* data, size_t length) { return QueuePostEx(id, data, length, 0); }

bool QueueGetEx(int id, std::vector<uint8_t>& data, int* sequence, uint32_t* flags) {
    if (!ValidId(id)) return false;
    QueueSlot& q = g_queues[id];
    std::lock_guard<std::mutex> lk(q.m);
    if (q.items.empty()) return false;
    Item item = std::move(q.items.front());
    q.items.pop_front();
    if (q.items.empty()) q.emptied.notify_all();
    data = std::move(item.data);
    if (sequence) *sequence = item.sequence;
    if (flags) *flags = item.flags;
    return true;
}

bool QueueGet(int id, std::vector<uint8_t>& data) { return QueueGetEx(id, data, nullptr, nullptr); }

void QueueWaitEmpty(int id) {
    if (!ValidId(id)) return;
    QueueSlot& q = g_queues[id];
    std::unique_lock<std::mutex> lk(q.m);
    q.emptied.wait(lk, [&] { return q.items.empty() || q.abandoned; });
}

void QueueAbandonWaiters(int id) {
    if (!ValidId(id)) return;
    QueueSlot& q = g_queues[id];
    std::lock_guard<std::mutex> lk(q.m);
    q.abandoned = true;
    q.emptied.notify_all();
}

void QueueReleaseAbandon(int id) {
    if (!ValidId(id)) return;
    QueueSlot& q = g_queues[id];
    std::lock_guard<std::mutex> lk(q.m);
    q.abandoned = false;
}

int QueueCount(int id) {
    if (!ValidId(id)) return 0;
    QueueSlot& q = g_queues[id];
    std::lock_guard<std::mutex> lk(q.m);
    return static_cast<int>(q.items.size());
}
