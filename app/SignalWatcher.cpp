#include "SignalWatcher.h"

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

// The pipe's write end, read by the handler; lock-free, so safe in a signal handler.
std::atomic<int> g_nWriteFd{-1};

} // namespace

CSignalWatcher::CSignalWatcher(QObject *parent) : QObject(parent)
{
    if (::pipe2(m_fd, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    g_nWriteFd = m_fd[1];
    m_pNotifier = new QSocketNotifier(m_fd[0], QSocketNotifier::Read, this);
    connect(m_pNotifier, &QSocketNotifier::activated, this, &CSignalWatcher::OnReadable);

    struct sigaction action = {};
    action.sa_handler = &CSignalWatcher::Handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < std::size(kSignals); ++i)
        ::sigaction(kSignals[i], &action, &m_previous[i]);
}

CSignalWatcher::~CSignalWatcher()
{
    if (!IsActive())
        return;
    for (size_t i = 0; i < std::size(kSignals); ++i)
        ::sigaction(kSignals[i], &m_previous[i], nullptr);
    g_nWriteFd = -1;
    ::close(m_fd[0]);
    ::close(m_fd[1]);
}

sigset_t CSignalWatcher::WatchedSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int s : kSignals)
        sigaddset(&set, s);
    return set;
}

void CSignalWatcher::Handler(int signalNumber)
{
    const int savedErrno = errno;
    const int fd = g_nWriteFd.load();
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    // A full pipe already holds enough wake-ups, so a failed write loses nothing.
    if (fd >= 0) {
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
    }
    errno = savedErrno;
}

void CSignalWatcher::OnReadable()
{
    unsigned char bytes[16];
    ssize_t n;
    while ((n = ::read(m_fd[0], bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < n; ++i)
            emit received(bytes[i]);
    }
}
