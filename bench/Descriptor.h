// An open file or socket descriptor, closed by the destructor; movable, not copyable.
#pragma once

#include <unistd.h>

#include <utility>

class CDescriptor
{
public:
    explicit CDescriptor(int fd = -1) : m_fd(fd) {}
    CDescriptor(CDescriptor &&other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    CDescriptor &operator=(CDescriptor &&other) noexcept
    {
        std::swap(m_fd, other.m_fd);
        return *this;
    }
    ~CDescriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int Get() const { return m_fd; }

private:
    int m_fd;
};
