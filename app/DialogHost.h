#pragma once
#include "CaptureControl.h"
#include "CaptureHost.h"
#include "CaptureRequest.h"
#include "LogQueue.h"

#include <QObject>
#include <QString>

#include <functional>
#include <string>
#include <thread>

// Runs the capture worker on a thread of its own for the main window and turns what it tells
// into signals on the window's thread. Log text goes into a queue without the worker waiting
// (logWaiting says when there is some to take); every other event is delivered while the worker
// waits, so none takes effect before the handler that started the capture has returned. Events
// that come from the window's own thread are delivered at once.
class CDialogHost : public QObject, public ICaptureHost
{
    Q_OBJECT

public:
    explicit CDialogHost(QObject *parent = nullptr);
    // Joins a worker that has made its last call.
    ~CDialogHost() override;
    CDialogHost(const CDialogHost &) = delete;
    CDialogHost &operator=(const CDialogHost &) = delete;

    // UI thread. Starts a capture of request. False, with errno set, when no thread could be
    // started.
    bool Start(const CCaptureRequest &request);
    // Clears the running flag and wakes the worker's read at once.
    void Stop();
    // Delivers the worker's events until its last one, then joins it. For the window's end;
    // never from within an event.
    void WaitForWorker();
    // The worker's log text, for the log view to take (UI thread).
    CLogQueue &GetLog() { return m_queue; }

    // The worker's calls, from its thread (from the UI thread they take effect at once).
    void OnLogLine(const std::string &text, LineKind kind) override;
    void ShowMessage(const std::string &text) override;
    void OnFellBackToRaw() override;
    void OnFolderComplete(const std::string &path) override;
    void OnEnded(const CCaptureOutcome &outcome) override;

signals:
    // Log text waits in GetLog(), said once until it has been taken; drawNow when it must be
    // drawn before the call that queued it returns (the call came from the window's thread).
    void logWaiting(bool drawNow);
    // Show text in a message box; the worker waits until the slots have returned.
    void messageRequested(const QString &text);
    void fellBackToRaw();
    // The output folder (a path in the system's encoding, ending with '/') is complete.
    void folderComplete(const std::string &path);
    // The capture has ended: the worker's last event.
    void captureEnded(const CCaptureOutcome &outcome);

protected:
    void customEvent(QEvent *event) override;

private:
    void SendToUi(const std::function<void()> &event);

    CCaptureRequest m_request;
    CCaptureControl m_control;
    CLogQueue m_queue;
    std::thread m_worker;
    bool m_bActive = false; // a worker runs and has not made its last call
};
