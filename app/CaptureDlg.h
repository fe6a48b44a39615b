#pragma once
#include "CaptureControl.h"
#include "DeviceDlg.h"
#include "DialogHost.h"
#include "LogQueue.h"

#include <QDialog>
#include <QMessageBox>

#include <string>
#include <thread>

class QCheckBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTimer;

// The main window: it gathers the interface, the output folder and the mode, starts the capture
// worker on a thread of its own, asks it to stop, and shows its log. It hosts the worker through
// CDialogHost. The enabled controls are its state: an enabled Stop button means that a capture
// runs and has not been asked to stop, an enabled Capture button that no worker runs.
class CCaptureDlg : public QDialog
{
    Q_OBJECT

public:
    explicit CCaptureDlg(QWidget *parent = nullptr);
    // Stops a capture that still runs and waits for its worker before the window goes.
    ~CCaptureDlg() override;
    CCaptureDlg(const CCaptureDlg &) = delete;
    CCaptureDlg &operator=(const CCaptureDlg &) = delete;

    // Enter: nothing happens.
    void accept() override;
    // A close request (Esc, the close box, Alt+F4). During a capture it acts as Stop and the
    // window stays open; the window closes only when no worker runs.
    void reject() override;

    // Idle (true): Stop disabled, everything else enabled. Capturing (false): the reverse. The
    // log view stays enabled in both.
    void EnableControls(bool enable);
    // Appends text (UTF-8, with its own "\r\n") at the end of the log view, after emptying the
    // view when it holds more than 61440 bytes of text. UI thread.
    void AppendLog(const std::string &text);
    // Shows the system's message for the last error of this thread with caption.
    void ShowLastError(const QString &caption);

    // Ends the program as soon as it safely can, for a signal or the end of the session: open
    // boxes and choosers are cancelled, a running capture is stopped, and the window closes
    // once the worker has ended. Further boxes are answered without being shown.
    void EndSession();
    // How the last capture went (packets, kernel drops); valid once it has ended.
    const CCaptureOutcome &GetLastOutcome() const { return m_host.GetOutcome(); }

signals:
    // The worker has made its last request: the window is idle again.
    void captureEnded();

private:
    friend class CDialogHost;

    void OnCapture();
    void StopCapture();
    void OnSelectDevice();
    void OnSelectFolder();
    bool PrepareFolder(const QString &typed, const std::string &path);
    void StartWorker();
    void OnWorkerEnded();
    void WaitForWorker();
    void ScheduleDrain();
    void DrainLog();
    void ClearLog();
    void OnLogEdited();
    int MessageBox(const QString &text, const QString &caption = {},
                   QMessageBox::StandardButtons buttons = QMessageBox::Ok);

    CDeviceDlg m_deviceDlg;
    // The running flag and the stop wake-up, shared with the worker.
    CCaptureControl m_bRunning;
    // The output folder of the current or last capture, in the system's encoding, ending
    // with '/' once a capture has been prepared.
    std::string m_strOutputFolder;
    QLineEdit *m_editFolder = nullptr;
    QCheckBox *m_checkCombine = nullptr;
    QPushButton *m_btnStop = nullptr;
    QPushButton *m_btnCapture = nullptr;
    QPlainTextEdit *m_editLog = nullptr;
    QLineEdit *m_editDevice = nullptr;
    QPushButton *m_btnSelectDevice = nullptr;
    QPushButton *m_btnSelectFolder = nullptr;

    CDialogHost m_host{*this};
    CLogQueue m_logQueue;
    QTimer *m_pDrainTimer = nullptr;
    std::thread m_worker;
    bool m_bWorkerActive = false;    // started and has not yet made its last request
    bool m_bFinalTitleShown = false; // the worker has set its title and is about to end
    bool m_bEnding = false;
    bool m_bWritingLog = false; // the program, not the user, is changing the log view
};
