// A named semaphore of one slot for the user's desktop programs: a lock file in the user's
// runtime folder, held with flock while the slot is taken. Like a kernel object, the slot is
// given back when its holder closes it or ends, so a program that ends abruptly leaves
// nothing taken. Two objects of the same name, in one process or in two, exclude each other.
// An object is used by one thread.
#pragma once
#include <string>

class NamedSemaphore {
public:
    NamedSemaphore() = default;
    ~NamedSemaphore();
    NamedSemaphore(const NamedSemaphore&) = delete;
    NamedSemaphore& operator=(const NamedSemaphore&) = delete;

    // Creates or opens the semaphore "name" in folder (NamedPipeFolder() when empty); the
    // slot starts free. False (errno set) when the lock file cannot be had or is not a
    // regular file of our own: the object then still serialises its own users.
    bool Create(const std::string& name, const std::string& folder = std::string());
    // Takes the slot without waiting; false when it is taken (here or by another object).
    bool TryTake();
    // Gives the slot back; false when this object did not hold it.
    bool Release();
    void Close();
    bool taken() const { return taken_; }
    bool shared() const { return fd_ >= 0; }  // the lock file is in use

private:
    int fd_ = -1;
    bool taken_ = false;
};
