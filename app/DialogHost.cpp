#include "DialogHost.h"

#include "CaptureWorker.h"
#include "SignalWatcher.h"

#include <QCoreApplication>
#include <QThread>

#include <cerrno>
#include <pthread.h>
#include <sched.h>
#include <system_error>

namespace {

// Qt's event queue and the semaphore of its blocking connection live in libraries that
// ThreadSanitizer does not see into, so each side of an event announces the hand-over: the
// worker once the event is in place and after its wait, the UI thread before it delivers the
// event and after it has done so.
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void *address);
extern "C" void __tsan_release(void *address);
void HandOver(void *token) { __tsan_release(token); }
void TakeOver(void *token) { __tsan_acquire(token); }
#else
void HandOver(void *) {}
void TakeOver(void *) {}
#endif

} // namespace

CDialogHost::CDialogHost(QObject *parent) : QObject(parent) {}

CDialogHost::~CDialogHost()
{
    // The window waited for the worker's last event; the worker is returning.
    if (m_worker.joinable())
        m_worker.join();
}

bool CDialogHost::Start(const CCaptureRequest &request)
{
    // No worker is active, so the last one has made its last call: joining cannot wait on this
    // thread.
    if (m_worker.joinable())
        m_worker.join();
    m_request = request;
    m_control.Start();

    // The worker leaves the ending signals to this thread: it starts with them blocked.
    const sigset_t watched = CSignalWatcher::WatchedSignals();
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &watched, &previous);
    std::error_code failure;
    try {
        m_worker = std::thread([this] {
            // A table of descriptors of its own: the kernel then skips counting references on
            // each of the worker's file and socket calls (a capture writes a file per frame),
            // and programs this process starts cannot inherit the capture's socket. The worker
            // still has every descriptor opened before (the output folder, the wake-up).
            ::unshare(CLONE_FILES);
            CaptureThreadProc(m_request, m_control, *this);
        });
    } catch (const std::system_error &e) {
        failure = e.code();
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (failure) {
        errno = failure.value();
        return false;
    }
    m_bActive = true;
    return true;
}

void CDialogHost::Stop() { m_control.Stop(); }

void CDialogHost::WaitForWorker()
{
    while (m_bActive)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    if (m_worker.joinable())
        m_worker.join();
}

// Delivers event on the window's thread and waits for it, like a message sent to a window. The
// wait ends also when the host goes away first: Qt then discards the call and lets the caller
// go on.
void CDialogHost::SendToUi(const std::function<void()> &event)
{
    // IMPORTANT: a blocking call into the caller's own thread would wait for itself forever.
    if (QThread::currentThread() == thread()) {
        event();
        return;
    }
    HandOver(&m_control);
    QMetaObject::invokeMethod(
        this,
        [this, &event] {
            TakeOver(&m_control);
            event();
            HandOver(&m_control);
        },
        Qt::BlockingQueuedConnection);
    TakeOver(&m_control);
}

void CDialogHost::OnLogLine(const std::string &text, LineKind)
{
    const bool first = m_queue.Push(text);
    if (QThread::currentThread() == thread())
        emit logWaiting(true);
    else if (first)
        QMetaObject::invokeMethod(
            this, [this] { emit logWaiting(false); }, Qt::QueuedConnection);
}

void CDialogHost::ShowMessage(const std::string &text)
{
    SendToUi([&] { emit messageRequested(QString::fromUtf8(text)); });
}

void CDialogHost::OnFellBackToRaw()
{
    SendToUi([&] { emit fellBackToRaw(); });
}

void CDialogHost::OnFolderComplete(const std::string &path)
{
    SendToUi([&] { emit folderComplete(path); });
}

void CDialogHost::OnEnded(const CCaptureOutcome &outcome)
{
    SendToUi([&] {
        m_bActive = false;
        emit captureEnded(outcome);
    });
}
