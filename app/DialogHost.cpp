#include "DialogHost.h"

#include "CaptureDlg.h"
#include "Hooks.h"

#include <QCheckBox>
#include <QMetaObject>
#include <QThread>

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
    QMetaObject::invokeMethod(&m_dlg, run, Qt::BlockingQueuedConnection);
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

void CDialogHost::AppendLog(const std::string &text)
{
    if (!m_dlg.m_logQueue.Push(text))
        return;
    // The dialog outlives the worker, and its pending calls die with it.
    CCaptureDlg *dlg = &m_dlg;
    QMetaObject::invokeMethod(
        dlg, [dlg] { dlg->ScheduleDrain(); }, Qt::QueuedConnection);
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
