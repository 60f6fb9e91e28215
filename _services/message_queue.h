// Numbered FIFO queues of copied byte blocks between threads.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

enum { QUEUE_SETTINGS = 1, QUEUE_CONSOLE = 2 };

int QueueCreate(int id, int capacity);
void QueueDestroy(int id);
// Copies the block in; 0 when the queue is full (it holds capacity - 1 items) or missing.
// *countAfter, when given, gets the number of items in the queue with this one.
int QueuePostEx(int id, const void* data, size_t length, uint32_t flags, int* countAfter = nullptr);
int QueuePost(int id, const void* data, size_t length);
// Returns false when empty (out arguments untouched).
bool QueueGetEx(int id, std::vector<uint8_t>& data, int* sequence, uint32_t* flags);
bool QueueGet(int id, std::vector<uint8_t>& data);
// Waits until the queue is empty, or until abandon() returns true (checked on every wake).
void QueueWaitEmpty(int id);
// Wakes every QueueWaitEmpty waiter (used when the consumer goes away).
void QueueAbandonWaiters(int id);
void QueueReleaseAbandon(int id);
int QueueCount(int id);
