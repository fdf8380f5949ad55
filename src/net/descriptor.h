#ifndef DESCRIPTOR_H
#define DESCRIPTOR_H

#include <unistd.h>

#include <utility>

// The one owner of a file descriptor (a socket, a listener, an eventfd): it is closed when its
// owner goes, so no early return can leak it and no path can close it twice. -1 means none.
class Descriptor
{
public:
    Descriptor() = default;
    explicit Descriptor(int descriptor) : m_descriptor(descriptor) {}
    Descriptor(Descriptor&& other) noexcept : m_descriptor(std::exchange(other.m_descriptor, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept
    {
        Descriptor taken(std::move(other));
        std::swap(m_descriptor, taken.m_descriptor);
        return *this;
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor()
    {
        if (m_descriptor != -1)
            ::close(m_descriptor);
    }

    int Get() const { return m_descriptor; }
    // Hands the descriptor to an owner of another kind; none is left here.
    int Release() { return std::exchange(m_descriptor, -1); }
    bool IsOpen() const { return m_descriptor != -1; }

private:
    int m_descriptor = -1;
};

#endif // DESCRIPTOR_H
