#pragma once
#include <QObject>

#include <csignal>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP (the ways a session, a terminal or `kill` end a program)
// into the Qt signal received, emitted by the event loop of the thread that created the
// watcher. The handler only writes the signal's number into a pipe; a socket notifier reads it.
// One watcher at a time; the previous handlers come back when it is destroyed.
class CSignalWatcher : public QObject
{
    Q_OBJECT

public:
    explicit CSignalWatcher(QObject *parent = nullptr);
    ~CSignalWatcher() override;
    CSignalWatcher(const CSignalWatcher &) = delete;
    CSignalWatcher &operator=(const CSignalWatcher &) = delete;

    // The signals watched, for threads that must leave them to the watcher's thread.
    static sigset_t WatchedSignals();

signals:
    void received(int signalNumber);

private:
    // False when the pipe could not be made: the signals then keep their previous handling.
    bool IsActive() const { return m_pNotifier != nullptr; }
    static void Handler(int signalNumber);
    void OnReadable();

    int m_fd[2] = {-1, -1};
    QSocketNotifier *m_pNotifier = nullptr;
    struct sigaction m_previous[3] = {};
};
