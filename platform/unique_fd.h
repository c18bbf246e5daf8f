// unique_fd: the single owner of one file descriptor. Move-only; the descriptor is closed
// exactly once, when the owner is destroyed or reset, unless it was released first.
#pragma once

#include <unistd.h>

struct unique_fd {
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    ~unique_fd() { reset(); }

    unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
    unique_fd& operator=(unique_fd&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

    // Gives up ownership without closing; the caller now owns the descriptor.
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

    // Closes the owned descriptor (if any) and takes fd instead. close() is not retried on
    // EINTR: Linux has released the descriptor by then and the number may already be reused.
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};
