// A named pipe another local program reads: a FIFO in the user's runtime folder, written
// without ever blocking the writer.
#pragma once
#include <cstddef>
#include <string>

// $XDG_RUNTIME_DIR/nimbo, or /run/nimbo when the variable is unset or empty.
std::string NamedPipeFolder();

class NamedPipeWriter {
public:
    NamedPipeWriter() = default;
    ~NamedPipeWriter();
    NamedPipeWriter(const NamedPipeWriter&) = delete;
    NamedPipeWriter& operator=(const NamedPipeWriter&) = delete;

    // Makes the folder (0700) and the FIFO (0600) when missing. False (errno set) when the
    // folder or the name is anything but a folder and a FIFO of our own: a symbolic link, a
    // file or another user's FIFO is never followed, written or replaced.
    bool Create(const std::string& folder, const std::string& name);
    // Writes one message and a line feed as one write. 1 written; 0 not written because no
    // reader has the FIFO open or its buffer is full; -1 on another error.
    int Write(const void* data, size_t length);
    void Close();
    bool created() const { return dirFd_ >= 0; }

private:
    int dirFd_ = -1;
    int fd_ = -1;
    std::string name_;
};
