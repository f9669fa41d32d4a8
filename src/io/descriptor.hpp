// A file descriptor that closes itself, and the error that every failed
// system call on a file becomes: it names the file, what was being done and
// the system's reason.
#pragma once

#include <stdexcept>
#include <string>

namespace cirsharp::io {

class FileError : public std::runtime_error {
  public:
    FileError(const std::string& path, const std::string& action, int error_number);
    FileError(const std::string& path, const std::string& message);
    const std::string& path() const { return path_; }
    int error_number() const { return errno_; }

  private:
    std::string path_;
    int errno_ = 0;
};

// Owns a file descriptor; closes it on destruction.
class Descriptor {
  public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(Descriptor&& other) noexcept : fd_(other.release()) {}
    Descriptor& operator=(Descriptor&& other) noexcept;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor();

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes and reports the result of close(2).
    int close();

  private:
    int fd_ = -1;
};

}  // namespace cirsharp::io
