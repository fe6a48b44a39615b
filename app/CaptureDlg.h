#pragma once
#include "CaptureHost.h"
#include "DeviceDlg.h"

#include <QDialog>
#include <QMessageBox>

#include <string>

class CDialogHost;
class QCheckBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

// The main window: it gathers the interface, the output folder and the mode, starts a capture,
// asks it to stop, and shows its log. The capture worker reaches the window only through its
// host (CDialogHost), which carries its requests out with the public operations below. The
// enabled controls are the window's state: an enabled Stop button means that a capture runs
// and has not been asked to stop, an enabled Capture button that no worker runs.
class CCaptureDlg : public QDialog
{
    Q_OBJECT

public:
    // The dialog template that lays the window out.
    static constexpr int IDD = 102;

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
    // Shows the system's message for the last error of this thread with caption.
    void ShowLastError(const QString &caption);
    // Ends the program as soon as it safely can, for a signal or the end of the session: open
    // boxes and choosers are cancelled, a running capture is stopped, and the window closes
    // once the worker has ended. Further boxes are answered without being shown.
    void EndSession();

    // The window as the capture worker sees it; its requests may come from any thread.
    ICaptureHost &GetHost();
    // How the last capture went (packets, kernel drops); valid once it has ended.
    const CCaptureOutcome &GetLastOutcome() const;

    // The worker's requests, carried out on the UI thread by the host.
    bool GetCombineCheck() const;
    void ClearCombineCheck();
    // Shows a message box owned by the window, captioned "Marlinox" when caption is empty, and
    // returns the button pressed; while the program ends, answers at once (No to a question)
    // without showing it.
    int MessageBox(const QString &text, const QString &caption = {},
                   QMessageBox::StandardButtons buttons = QMessageBox::Ok);
    // The worker has made its last request: the window is idle again.
    void OnCaptureEnded();

signals:
    // The worker has made its last request.
    void captureEnded();

private:
    void OnCapture();
    void StopCapture();
    void OnSelectDevice();
    void OnSelectFolder();
    bool PrepareFolder(const QString &typed, const std::string &path);
    void StartCapture(const std::string &folder);

    CDeviceDlg m_deviceDlg;
    QLineEdit *m_editFolder = nullptr;
    QCheckBox *m_checkCombine = nullptr;
    QPushButton *m_btnStop = nullptr;
    QPushButton *m_btnCapture = nullptr;
    QPlainTextEdit *m_editLog = nullptr;
    QLineEdit *m_editDevice = nullptr;
    QPushButton *m_btnSelectDevice = nullptr;
    QPushButton *m_btnSelectFolder = nullptr;
    CDialogHost *m_pHost = nullptr; // a child of the window
    bool m_bEnding = false;
};
