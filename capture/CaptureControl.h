#pragma once
#include <atomic>

struct pcap;

// The running flag of a capture, shared by the thread that starts and stops captures and the
// worker that reads it, and the means to wake the worker at once on a stop: a wake-up
// descriptor that a live capture waits on beside its capture descriptor, and, from a signal
// handler on the worker's own thread, libpcap's break for a read that blocks in the library (a
// capture file through a pipe). Only the wake-up descriptor crosses threads: a worker may keep
// descriptors of its own that another thread cannot name.
class CCaptureControl
{
public:
    CCaptureControl();
    ~CCaptureControl();
    CCaptureControl(const CCaptureControl &) = delete;
    CCaptureControl &operator=(const CCaptureControl &) = delete;

    // Sets the flag, and takes back earlier wake-ups, before a worker starts.
    void Start();
    // Clears the flag and wakes a live capture's wait, so the worker ends promptly even on a
    // quiet interface. Safe from any thread.
    void Stop();
    // The same from a signal handler that interrupted the worker's own thread, which also breaks
    // a read that blocks in the library: async-signal-safe, and the worker cannot close the
    // handle meanwhile.
    void StopFromSignal();
    bool IsRunning() const { return m_bRunning.load() != 0; }
    // Readable once a stop was asked for; -1 when it could not be made (a wait then ends
    // within its time-out).
    int GetWakeDescriptor() const { return m_nWakeFd; }

    // The worker publishes its open capture handle while it reads, for StopFromSignal, and
    // withdraws it before closing it.
    void Attach(pcap *handle);
    void Detach();

private:
    void Wake();

    std::atomic<int> m_bRunning{1};
    int m_nWakeFd = -1;
    std::atomic<pcap *> m_pHandle{nullptr};
};
