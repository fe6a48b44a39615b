#include "DialogHost.h"

#include "CaptureDlg.h"
#include "Hooks.h"

#include <QCheckBox>
#include <QMetaObject>
#include <QThread>

#include <condition_variable>
#include <memory>
#include <mutex>

namespace {

// The worker's side of a call carried out on the UI thread: it waits until the call object is
// gone, whether the UI thread ran it or Qt discarded it with a dialog that went away, so it
// never waits for ever. A mutex and a condition variable rather than Qt's blocking connection
// make the hand-off visible to ThreadSanitizer, which cannot see inside Qt's semaphore.
class CCallDone
{
public:
    void Signal()
    {
        std::lock_guard lock(m_mutex);
        m_bDone = true;
        m_cv.notify_all();
    }
    void Wait()
    {
        std::unique_lock lock(m_mutex);
        m_cv.wait(lock, [this] { return m_bDone; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bDone = false;
};

class CSignalOnDestruction
{
public:
    explicit CSignalOnDestruction(std::shared_ptr<CCallDone> done) : m_pDone(std::move(done)) {}
    CSignalOnDestruction(const CSignalOnDestruction &) = delete;
    CSignalOnDestruction &operator=(const CSignalOnDestruction &) = delete;
    ~CSignalOnDestruction() { m_pDone->Signal(); }

private:
    std::shared_ptr<CCallDone> m_pDone;
};

// Qt's event queue orders a posted call after everything its poster did, but its locking lives
// in an uninstrumented library, so ThreadSanitizer is told of that order here.
// The receiver announces itself before it reads anything of the posted call.
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void *address);
extern "C" void __tsan_release(void *address);
char g_cHandOff;
void Posted() { __tsan_release(&g_cHandOff); }
void Received() { __tsan_acquire(&g_cHandOff); }
#else
void Posted() {}
void Received() {}
#endif

} // namespace

// Runs f on the dialog's thread and waits for it, like a message sent to a window. The log text
// queued so far is drawn first, so that the request lands after it.
template <class F> void CDialogHost::SendToUi(F &&f)
{
    auto run = [&] {
        m_dlg.DrainLog();
        f();
    };
    // IMPORTANT: a blocking call into the caller's own thread would wait for itself forever.
    if (QThread::currentThread() == m_dlg.thread()) {
        run();
        return;
    }
    auto done = std::make_shared<CCallDone>();
    auto signal = std::make_shared<CSignalOnDestruction>(done);
    CCaptureDlg *dlg = &m_dlg;
    Posted();
    QMetaObject::invokeMethod(
        dlg,
        [dlg, run, signal] {
            Received();
            run();
        },
        Qt::QueuedConnection);
    signal.reset(); // the call object now holds the last reference
    done->Wait();
}

CCaptureControl &CDialogHost::GetControl() { return m_dlg.m_bRunning; }

const pcap_if *CDialogHost::GetSelectedDevice() const
{
    return m_dlg.m_deviceDlg.GetSelectedDevice();
}

std::string CDialogHost::GetOutputFolder() const { return m_dlg.m_strOutputFolder; }

bool CDialogHost::GetCombineCheck()
{
    bool checked = false;
    SendToUi([&] { checked = m_dlg.m_checkCombine->isChecked(); });
    return checked;
}

void CDialogHost::ClearCombineCheck()
{
    SendToUi([&] { m_dlg.m_checkCombine->setChecked(false); });
}

void CDialogHost::AppendLog(const std::string &text, LineKind)
{
    if (!m_dlg.m_logQueue.Push(text))
        return;
    // The dialog outlives the worker, and its pending calls die with it.
    CCaptureDlg *dlg = &m_dlg;
    Posted();
    QMetaObject::invokeMethod(
        dlg,
        [dlg] {
            Received();
            dlg->ScheduleDrain();
        },
        Qt::QueuedConnection);
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
        m_dlg.m_bFinalTitleShown = true;
    });
}

void CDialogHost::EnableControls(bool enable)
{
    SendToUi([&] {
        m_dlg.EnableControls(enable);
        if (enable)
            m_dlg.OnWorkerEnded();
    });
}

void CDialogHost::OpenFolder(const std::string &path)
{
    SendToUi([&] { OpenFolderOnDesktop(path); });
}
