#pragma once
#include "CaptureControl.h"
#include "CaptureHost.h"
#include "LogQueue.h"

#include <QObject>
#include <QTimer>

#include <functional>
#include <string>
#include <thread>

class CCaptureDlg;
class QPlainTextEdit;

// The capture worker's one channel into the main window. It runs the worker on a thread of its
// own and holds what the worker reads during a capture: the running flag, the output folder and
// the interface. Log text goes through a queue without the worker waiting and is drawn into the
// log view in slices; every other request is carried out on the window's thread while the
// worker waits, after the text queued before it has been drawn. The window's side of a request
// is one of the dialog's public operations.
class CDialogHost : public QObject, public ICaptureHost
{
    Q_OBJECT

public:
    // Draws the worker's log into log; dlg carries out the other requests. A child of dlg.
    CDialogHost(CCaptureDlg &dlg, QPlainTextEdit *log);
    ~CDialogHost() override;
    CDialogHost(const CDialogHost &) = delete;
    CDialogHost &operator=(const CDialogHost &) = delete;

    // UI thread. Starts a capture on device (null: none picked) into folder, which ends with
    // '/'. False, with errno set, when no thread could be started.
    bool Start(const std::string &folder, const pcap_if *device);
    // Clears the running flag and wakes the worker's read at once.
    void Stop();
    // Whether a worker was started and has not yet made its last request.
    bool IsActive() const { return m_bActive; }
    // Whether the worker has set its final title: it has only the controls left to enable.
    bool IsFinishing() const { return m_bFinishing; }
    // Serves the worker's requests until its last one, then joins it. For the window's end;
    // never from within a request.
    void WaitForWorker();
    // Empties the log view.
    void ClearLog();
    // How the last capture went; read it once the capture has ended.
    const CCaptureOutcome &GetOutcome() const { return m_outcome; }

    // The worker's requests, from its thread (or from the UI thread, which carries them out at
    // once).
    CCaptureControl &GetControl() override { return m_control; }
    const pcap_if *GetSelectedDevice() const override { return m_pDevice; }
    std::string GetOutputFolder() const override { return m_strOutputFolder; }
    bool GetCombineCheck() override;
    void ClearCombineCheck() override;
    // The text lands at the end of the log view; before it the view is emptied when it holds
    // more than 61440 bytes (CLogQueue).
    void AppendLog(const std::string &text, LineKind kind) override;
    void ShowMessage(const std::string &text) override;
    void SetTitle(const std::string &title) override;
    void EnableControls(bool enable) override;
    void OpenFolder(const std::string &path) override;
    void ReportOutcome(const CCaptureOutcome &outcome) override { m_outcome = outcome; }

private:
    void SendToUi(const std::function<void()> &request);
    Q_INVOKABLE void RunRequest();
    Q_INVOKABLE void ScheduleDrain();
    void DrainLog();
    void OnLogEdited();

    CCaptureDlg &m_dlg;
    QPlainTextEdit *m_pLog;
    CCaptureControl m_control;
    std::string m_strOutputFolder;
    const pcap_if *m_pDevice = nullptr;
    CLogQueue m_queue;
    QTimer m_drainTimer;
    const std::function<void()> *m_pRequest = nullptr; // the request the worker waits on
    std::thread m_worker;
    bool m_bActive = false;
    bool m_bFinishing = false;
    bool m_bWritingLog = false; // the program, not the user, is changing the log view
    CCaptureOutcome m_outcome;
};
