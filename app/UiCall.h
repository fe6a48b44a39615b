#pragma once
#include <QEvent>

#include <condition_variable>
#include <functional>
#include <mutex>

class QObject;

// One call of a worker's, run on a window's thread as an event while the worker waits, like a
// message sent to a window. The wait ends when the event is gone: run, or discarded because its
// receiver went away first. The receiver runs it from customEvent().
class CUiCall : public QEvent
{
public:
    // The worker's thread: posts call to receiver's thread and returns once it is gone.
    static void Send(QObject *receiver, const std::function<void()> &call);
    // The receiver's thread: call, if event is one.
    static void Run(QEvent *event);

    ~CUiCall() override;
    CUiCall(const CUiCall &) = delete;
    CUiCall &operator=(const CUiCall &) = delete;

private:
    // Lives on the worker's stack while it waits.
    struct CWait
    {
        std::mutex mutex;
        std::condition_variable gone;
        bool bGone = false;
    };

    CUiCall(const std::function<void()> &call, CWait &wait);

    const std::function<void()> &m_call;
    CWait &m_wait;
};
