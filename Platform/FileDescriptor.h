// An owned file descriptor, closed on every way out of its scope.
#pragma once

#include <unistd.h>

#include <utility>

namespace vellumar::platform {

class FileDescriptor {
public:
    FileDescriptor() noexcept = default;
    // Takes ownership; a negative value owns nothing.
    explicit FileDescriptor(int descriptor) noexcept
        : m_descriptor(descriptor)
    {
    }
    FileDescriptor(FileDescriptor&& other) noexcept
        : m_descriptor(other.release())
    {
    }
    FileDescriptor& operator=(FileDescriptor&& other) noexcept
    {
        reset(other.release());
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { reset(); }

    int get() const noexcept { return m_descriptor; }
    explicit operator bool() const noexcept { return m_descriptor >= 0; }
    // Hands the descriptor over; this object then owns nothing.
    int release() noexcept { return std::exchange(m_descriptor, -1); }
    // Closes now and reports whether close(2) succeeded: a delayed write error shows only here.
    bool close() noexcept
    {
        return m_descriptor < 0 || ::close(std::exchange(m_descriptor, -1)) == 0;
    }
    // Closes what it owned and takes `descriptor` instead.
    void reset(int descriptor = -1) noexcept
    {
        if (m_descriptor >= 0)
            ::close(m_descriptor);
        m_descriptor = descriptor;
    }

private:
    int m_descriptor = -1;
};

}
