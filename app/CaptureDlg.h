#pragma once
#include "CaptureHost.h"
#include "DeviceDlg.h"
#include "Folder.h"

#include <QDialog>
#include <QMessageBox>

#include <string>

class CDialogHost;
class CLogView;
class QCheckBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

// The main window: it gathers the interface, the output folder and the mode, starts a capture,
// asks it to stop, and shows its log. The capture worker runs in its host (CDialogHost), whose
// signals tell the window what happened. The enabled controls are the window's state: an
// enabled Stop button means that a capture runs and has not been asked to stop, an enabled
// Capture button that no worker runs.
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
    // Shows the system's message for the last error of this thread with caption.
    void ShowLastError(const QString &caption);
    // Ends the program as soon as it safely can, for a signal or the end of the session: open
    // boxes and choosers are cancelled, a running capture is stopped, and the window closes
    // once the worker has ended. Further boxes are answered without being shown.
    void EndSession();

    // The window's capture host as the worker sees it; its calls may come from any thread.
    ICaptureHost &GetHost();
    // How the last capture went (packets, kernel drops); valid once it has ended.
    const CCaptureOutcome &GetLastOutcome() const { return m_outcome; }

    // Shows a message box owned by the window, captioned "Marlinox" when caption is empty, and
    // returns the button pressed; while the program ends, answers at once (No to a question)
    // without showing it.
    int MessageBox(const QString &text, const QString &caption = {},
                   QMessageBox::StandardButtons buttons = QMessageBox::Ok);

signals:
    // The capture has ended and the window is idle again.
    void captureEnded();

private:
    void OnCapture();
    void StopCapture();
    void OnSelectDevice();
    void OnSelectFolder();
    bool PrepareFolder(const QString &typed, const std::string &path);
    void StartCapture(const std::string &folder);
    // What the capture tells the window.
    void OnMessageRequested(const QString &text);
    void OnFellBackToRaw();
    void OnFolderComplete(const std::string &path);
    void OnCaptureEnded(const CCaptureOutcome &outcome);

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
    CLogView *m_pLogView = nullptr; // a child of the window
    CFolder m_folder;               // the output folder, held from its check to the capture's end
    CCaptureOutcome m_outcome;
    bool m_bEnding = false;
};
