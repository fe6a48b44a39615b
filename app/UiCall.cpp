#include "UiCall.h"

#include <QCoreApplication>
#include <QObject>

#include <memory>

namespace {

const QEvent::Type kType = static_cast<QEvent::Type>(QEvent::registerEventType());

// Qt's event queue lives in a library that ThreadSanitizer does not see into, so the worker
// announces the hand-over once its event is in place, and the receiver takes it before it
// reads the event. Waking the worker goes through a mutex the sanitizer sees.
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void *address);
extern "C" void __tsan_release(void *address);
char g_token;
void HandOver() { __tsan_release(&g_token); }
void TakeOver() { __tsan_acquire(&g_token); }
#else
void HandOver() {}
void TakeOver() {}
#endif

} // namespace

CUiCall::CUiCall(const std::function<void()> &call, CWait &wait)
    : QEvent(kType), m_call(call), m_wait(wait)
{
}

CUiCall::~CUiCall()
{
    TakeOver();
    const std::lock_guard lock(m_wait.mutex);
    m_wait.bGone = true;
    // Under the lock: the worker cannot return and end the wait's life before this is done.
    m_wait.gone.notify_one();
}

void CUiCall::Send(QObject *receiver, const std::function<void()> &call)
{
    CWait wait;
    auto event = std::unique_ptr<CUiCall>(new CUiCall(call, wait));
    HandOver();
    QCoreApplication::postEvent(receiver, event.release()); // Qt owns and deletes it
    std::unique_lock lock(wait.mutex);
    wait.gone.wait(lock, [&wait] { return wait.bGone; });
}

void CUiCall::Run(QEvent *event)
{
    if (event->type() != kType)
        return;
    TakeOver();
    static_cast<CUiCall *>(event)->m_call();
}
