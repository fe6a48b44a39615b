#include "DialogHost.h"

#include "CaptureDlg.h"
#include "CaptureWorker.h"
#include "Hooks.h"
#include "SignalWatcher.h"

#include <QCoreApplication>
#include <QPlainTextEdit>
#include <QScopedValueRollback>
#include <QTextDocument>
#include <QThread>

#include <cerrno>
#include <pthread.h>
#include <system_error>

namespace {

// How long worker text may wait before it is drawn. Drawing in slices of this length rather
// than as often as the UI thread can keeps its share of the processor small during a busy
// capture, and text that the view would empty within the slice is never drawn.
constexpr int kDrainDelayMs = 40;

// The view's text counted as the log writes it: UTF-8, every line break as CR LF.
size_t ViewBytes(const QPlainTextEdit *edit)
{
    const QString text = edit->toPlainText();
    return size_t(text.toUtf8().size()) + size_t(text.count(u'\n'));
}

// Qt's event queue and the semaphore of its blocking connection live in libraries that
// ThreadSanitizer does not see into, so each side of a request announces the hand-over: the
// worker once the request is in place and after its wait, the UI thread before it reads the
// request and after it has carried it out.
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

CDialogHost::CDialogHost(CCaptureDlg &dlg, QPlainTextEdit *log)
    : QObject(&dlg), m_dlg(dlg), m_pLog(log)
{
    m_drainTimer.setSingleShot(true);
    m_drainTimer.setInterval(kDrainDelayMs);
    connect(&m_drainTimer, &QTimer::timeout, this, &CDialogHost::DrainLog);
    connect(m_pLog->document(), &QTextDocument::contentsChanged, this, &CDialogHost::OnLogEdited);
}

CDialogHost::~CDialogHost()
{
    // The window waited for the worker's last request; the worker is returning.
    if (m_worker.joinable())
        m_worker.join();
}

bool CDialogHost::Start(const std::string &folder, const pcap_if *device)
{
    // No worker is active, so the last one has made its last request: joining cannot wait on
    // this thread.
    if (m_worker.joinable())
        m_worker.join();
    m_strOutputFolder = folder;
    m_pDevice = device;
    m_control.Start();
    m_bFinishing = false;

    // The worker leaves the ending signals to this thread: it starts with them blocked.
    const sigset_t watched = CSignalWatcher::WatchedSignals();
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &watched, &previous);
    std::error_code failure;
    try {
        m_worker = std::thread(CaptureThreadProc, this);
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

// Runs request on the window's thread and waits for it, like a message sent to a window. The
// wait ends also when the host goes away first: Qt then discards the call and lets the caller
// go on.
void CDialogHost::SendToUi(const std::function<void()> &request)
{
    // IMPORTANT: a blocking call into the caller's own thread would wait for itself forever.
    if (QThread::currentThread() == thread()) {
        DrainLog();
        request();
        return;
    }
    m_pRequest = &request;
    HandOver(&m_pRequest);
    QMetaObject::invokeMethod(this, "RunRequest", Qt::BlockingQueuedConnection);
    TakeOver(&m_pRequest);
}

void CDialogHost::RunRequest()
{
    TakeOver(&m_pRequest);
    DrainLog();
    (*m_pRequest)();
    HandOver(&m_pRequest);
}

bool CDialogHost::GetCombineCheck()
{
    bool checked = false;
    SendToUi([&] { checked = m_dlg.GetCombineCheck(); });
    return checked;
}

void CDialogHost::ClearCombineCheck()
{
    SendToUi([&] { m_dlg.ClearCombineCheck(); });
}

void CDialogHost::AppendLog(const std::string &text, LineKind)
{
    const bool first = m_queue.Push(text);
    if (QThread::currentThread() == thread())
        DrainLog();
    else if (first)
        QMetaObject::invokeMethod(this, "ScheduleDrain", Qt::QueuedConnection);
}

void CDialogHost::ShowMessage(const std::string &text)
{
    SendToUi([&] { m_dlg.MessageBox(QString::fromUtf8(text)); });
}

void CDialogHost::SetTitle(const std::string &title)
{
    // The worker sets the title once, at its end.
    SendToUi([&] {
        m_dlg.setWindowTitle(QString::fromUtf8(title));
        m_bFinishing = true;
    });
}

void CDialogHost::EnableControls(bool enable)
{
    SendToUi([&] {
        if (!enable) {
            m_dlg.EnableControls(false);
            return;
        }
        m_bActive = false;
        m_dlg.OnCaptureEnded();
    });
}

void CDialogHost::OpenFolder(const std::string &path)
{
    SendToUi([&] { OpenFolderOnDesktop(path); });
}

void CDialogHost::ScheduleDrain()
{
    if (!m_drainTimer.isActive())
        m_drainTimer.start();
}

void CDialogHost::DrainLog()
{
    const CLogQueue::CBatch batch = m_queue.Take();
    if (!batch.bClear && batch.text.empty())
        return;
    const QScopedValueRollback writing(m_bWritingLog, true);
    if (batch.bClear)
        m_pLog->clear();
    // The text always lands at the end, wherever the user left the caret.
    m_pLog->moveCursor(QTextCursor::End);
    // The document makes one line break of each "\r\n" (and of a lone CR), so every log line
    // shows as one line; the byte count follows the text as it was appended.
    m_pLog->insertPlainText(QString::fromUtf8(batch.text));
    m_pLog->ensureCursorVisible();
}

void CDialogHost::ClearLog()
{
    {
        const QScopedValueRollback writing(m_bWritingLog, true);
        m_pLog->clear();
    }
    m_queue.ViewChanged(0);
}

void CDialogHost::OnLogEdited()
{
    // The log view can be edited; what the user typed counts towards the limit too.
    if (!m_bWritingLog)
        m_queue.ViewChanged(ViewBytes(m_pLog));
}
