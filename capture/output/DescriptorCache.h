#pragma once
#include "OutputEvents.h"
#include "RecencyList.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <vector>

// Keeps the descriptors of many files within a bound: at most a given number are open. When
// one more is needed the least recently used descriptor is closed; its file opens it again on
// its next use. The cache holds descriptors only: giving one up closes it and nothing else, so
// it never calls back into a file.
//
// Used by one thread only.
class CDescriptorCache
{
public:
    // A file's place in the cache, from Add to Release.
    using Slot = uint32_t;

    // Keeps at most limit descriptors open (at least one). The first shortage is told to
    // events.
    explicit CDescriptorCache(size_t limit, IOutputEvents *events = nullptr);
    // Closes every descriptor still held.
    ~CDescriptorCache();
    CDescriptorCache(const CDescriptorCache &) = delete;
    CDescriptorCache &operator=(const CDescriptorCache &) = delete;

    // Runs open() (which returns a new descriptor, or -1 with errno) with room for one more
    // descriptor; when the process is out of descriptors after all (it holds others the cache
    // does not know), gives one more up and tries again.
    template <class Opener> int OpenWithRoom(const Opener &open)
    {
        MakeRoom();
        for (;;) {
            const int fd = open();
            if (fd >= 0 || (errno != EMFILE && errno != ENFILE) || !GiveUpOldest())
                return fd;
        }
    }
    // Holds fd, just opened, as the most recently used; returns its slot.
    Slot Add(int fd);
    // The descriptor of slot, now the most recently used; -1 when it was given up.
    int Acquire(Slot slot);
    // Holds fd, reopened for slot after its descriptor was given up.
    void Restore(Slot slot, int fd);
    // Closes slot's descriptor, if it is held, and frees the slot.
    void Release(Slot slot);

private:
    void MakeRoom();
    bool GiveUpOldest();

    size_t m_nLimit;
    IOutputEvents *m_pEvents;
    std::vector<int> m_fds; // by slot; -1 when given up or free
    std::vector<Slot> m_free;
    CRecencyList m_held; // the slots holding a descriptor, least recently used first
    bool m_bShortTold = false;
};
