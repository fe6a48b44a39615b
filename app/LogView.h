#pragma once
#include <QObject>
#include <QTimer>

#include <cstddef>

class CLogQueue;
class QPlainTextEdit;

// Draws the worker's log text from its queue into the log view, in slices: text waits at most
// kDrainDelayMs before it is drawn, so a busy capture takes little of the UI thread, and text
// that the view would empty within the slice is never drawn. The view can also be edited by the
// user; what is typed counts towards the view's limit too.
class CLogView : public QObject
{
    Q_OBJECT

public:
    static constexpr int kDrainDelayMs = 40;
    // After a batch of more than kBusyBytes, text waits kBusyDelayMs: a burst of lines is drawn
    // a few times a second, and the processor goes to the capture.
    static constexpr size_t kBusyBytes = 4096;
    static constexpr int kBusyDelayMs = 250;

    CLogView(QPlainTextEdit *edit, CLogQueue &queue, QObject *parent = nullptr);

    // Text waits in the queue: it is drawn within the slice.
    void Schedule();
    // Draws everything queued now: for the events that must find the text before them drawn.
    void Drain();
    // Empties the view.
    void Clear();

private:
    void OnEdited();

    QPlainTextEdit *m_pEdit;
    CLogQueue &m_queue;
    QTimer m_timer;
    bool m_bWriting = false; // the program, not the user, is changing the view
};
