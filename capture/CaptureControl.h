#pragma once
#include <atomic>
#include <mutex>

struct pcap;

// The running flag of a capture, shared by the thread that starts and stops captures and the
// worker that reads it, and the means to wake the worker's read at once on a stop.
class CCaptureControl
{
public:
    // Sets the flag before a worker starts.
    void Start() { m_bRunning = 1; }
    // Clears the flag and wakes a read in progress, so the worker ends promptly even on a
    // quiet interface. Safe from any thread; not from a signal handler.
    void Stop();
    // The same from a signal handler that interrupted the worker's own thread: no lock is
    // taken, so it is async-signal-safe, and the worker cannot close the handle meanwhile.
    void StopFromSignal();
    bool IsRunning() const { return m_bRunning.load() != 0; }

    // The worker publishes its open capture handle while it reads, and withdraws it before
    // closing it.
    void Attach(pcap *handle);
    void Detach();

private:
    std::atomic<int> m_bRunning{1};
    std::mutex m_mutex; // keeps Stop's wake-up and the worker's close apart
    std::atomic<pcap *> m_pHandle{nullptr};
};
