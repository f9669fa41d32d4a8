#include "io/descriptor.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace cirsharp::io {

namespace {

std::string describe(const std::string& path, const std::string& action, int error_number) {
    return action + " " + path + ": " + std::strerror(error_number);
}

}  // namespace

FileError::FileError(const std::string& path, const std::string& action, int error_number)
    : std::runtime_error(describe(path, action, error_number)), path_(path), errno_(error_number) {}

FileError::FileError(const std::string& path, const std::string& message)
    : std::runtime_error(path + ": " + message), path_(path) {}

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

Descriptor::~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
}

int Descriptor::close() {
    if (fd_ < 0) return 0;
    const int rc = ::close(release());
    return (rc != 0 && errno != EINTR) ? errno : 0;
}

}  // namespace cirsharp::io
