#include "DialogHost.h"

#include "CaptureWorker.h"
#include "SignalWatcher.h"
#include "UiCall.h"

#include <QCoreApplication>
#include <QThread>

#include <cerrno>
#include <pthread.h>
#include <sched.h>
#include <system_error>

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
        // ThreadSanitizer knows one table per process and would take a number used in both
        // tables for a race, so its builds share the table.
#if !defined(__SANITIZE_THREAD__)
            ::unshare(CLONE_FILES);
#endif
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

// Delivers event on the window's thread and waits for it. The wait ends also when the host goes
// away first.
void CDialogHost::SendToUi(const std::function<void()> &event)
{
    // Every line logged before the event is drawn first.
    const auto deliver = [&] {
        emit logWaiting(true);
        event();
    };
    // IMPORTANT: a call into the caller's own thread would wait for itself forever.
    if (QThread::currentThread() == thread())
        deliver();
    else
        CUiCall::Send(this, deliver);
}

void CDialogHost::customEvent(QEvent *event) { CUiCall::Run(event); }

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
