#include "CaptureDlg.h"

#include "AppTexts.h"
#include "CaptureWorker.h"
#include "DialogBuilder.h"
#include "FolderDlg.h"
#include "Hooks.h"
#include "MessageBox.h"
#include "Platform.h"
#include "SignalWatcher.h"

#include <QCheckBox>
#include <QEventLoop>
#include <QFile>
#include <QIcon>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QTextDocument>
#include <QTimer>

#include <pcap/pcap.h>

#include <cerrno>
#include <pthread.h>
#include <system_error>

namespace {

constexpr int kTemplate = 102;
constexpr int kEditDevice = 1001;
constexpr int kEditLog = 1004;
constexpr int kBtnCapture = 1005;
constexpr int kBtnStop = 1006;
constexpr int kEditFolder = 1008;
constexpr int kCheckCombine = 1010;
constexpr int kBtnSelectDevice = 1011;
constexpr int kBtnSelectFolder = 1013;
// How long worker text may wait before it is drawn. Drawing in slices of this length rather
// than as often as the UI thread can keeps its share of the processor small during a busy
// capture, and text that the view would empty within the slice is never drawn.
constexpr int kDrainDelayMs = 40;

QString Text(const char *utf8) { return QString::fromUtf8(utf8); }

// The view's text counted as the log writes it: UTF-8, every line break as CR LF.
size_t ViewBytes(const QPlainTextEdit *edit)
{
    const QString text = edit->toPlainText();
    return size_t(text.toUtf8().size()) + size_t(text.count(u'\n'));
}

} // namespace

CCaptureDlg::CCaptureDlg(QWidget *parent) : QDialog(parent), m_deviceDlg(this)
{
    const auto controls = BuildDialog(this, kTemplate);
    m_editFolder = Bind<QLineEdit>(controls, kEditFolder);
    m_checkCombine = Bind<QCheckBox>(controls, kCheckCombine);
    m_btnStop = Bind<QPushButton>(controls, kBtnStop);
    m_btnCapture = Bind<QPushButton>(controls, kBtnCapture);
    m_editLog = Bind<QPlainTextEdit>(controls, kEditLog);
    m_editDevice = Bind<QLineEdit>(controls, kEditDevice);
    m_btnSelectDevice = Bind<QPushButton>(controls, kBtnSelectDevice);
    m_btnSelectFolder = Bind<QPushButton>(controls, kBtnSelectFolder);

    // The log is written only at its end and can grow without bound over a long capture: an
    // undo history would keep every line ever appended.
    m_editLog->setUndoRedoEnabled(false);
    m_pDrainTimer = new QTimer(this);
    m_pDrainTimer->setSingleShot(true);
    m_pDrainTimer->setInterval(kDrainDelayMs);

    connect(m_btnCapture, &QPushButton::clicked, this, &CCaptureDlg::OnCapture);
    connect(m_btnStop, &QPushButton::clicked, this, &CCaptureDlg::StopCapture);
    connect(m_btnSelectFolder, &QPushButton::clicked, this, &CCaptureDlg::OnSelectFolder);
    connect(m_btnSelectDevice, &QPushButton::clicked, this, &CCaptureDlg::OnSelectDevice);
    connect(m_pDrainTimer, &QTimer::timeout, this, &CCaptureDlg::DrainLog);
    connect(m_editLog->document(), &QTextDocument::contentsChanged, this,
            &CCaptureDlg::OnLogEdited);

    // The window manager draws the minimised window and its icon from the window icon.
    setWindowIcon(QIcon(QStringLiteral(":/res/131.svg")));
    m_checkCombine->setChecked(true);
    EnableControls(true);
}

CCaptureDlg::~CCaptureDlg()
{
    m_bEnding = true;
    WaitForWorker();
    m_bRunning.Stop();
}

void CCaptureDlg::accept() {}

void CCaptureDlg::reject()
{
    // The worker's last request, which enables the Capture button, can only run once this
    // handler has returned; so a close request during a capture never closes the window.
    if (m_btnStop->isEnabled()) {
        StopCapture();
        return;
    }
    if (m_btnCapture->isEnabled())
        QDialog::reject();
}

void CCaptureDlg::EnableControls(bool enable)
{
    m_btnStop->setEnabled(!enable);
    m_checkCombine->setEnabled(enable);
    m_btnCapture->setEnabled(enable);
    m_editFolder->setEnabled(enable);
    m_editDevice->setEnabled(enable);
    m_btnSelectDevice->setEnabled(enable);
    m_btnSelectFolder->setEnabled(enable);
}

void CCaptureDlg::OnSelectDevice()
{
    if (m_bEnding || m_deviceDlg.DoModal() != QDialog::Accepted)
        return;
    m_editDevice->setText(QString::fromLocal8Bit(m_deviceDlg.GetSelectedDevice()->name));
}

void CCaptureDlg::OnSelectFolder()
{
    if (m_bEnding)
        return;
    CFolderDlg dlg(this);
    if (RunModal(dlg) == QDialog::Accepted)
        m_editFolder->setText(dlg.GetPath());
}

void CCaptureDlg::OnCapture()
{
    if (m_bWorkerActive)
        return;
    if (m_editDevice->text().isEmpty())
        OnSelectDevice();
    if (m_editFolder->text().isEmpty())
        OnSelectFolder();
    if (m_bEnding)
        return;
    if (m_editDevice->text().isEmpty() || m_editFolder->text().isEmpty()) {
        MessageBox(Text(AppText::kSpecifyBoth));
        return;
    }
    const QString typed = m_editFolder->text();
    std::string path = QFile::encodeName(typed).toStdString();
    if (!PrepareFolder(typed, path))
        return;
    if (path.back() != '/')
        path += '/';
    m_strOutputFolder = path;
    if (MessageBox(Text(AppText::kConfirmOverwrite), Text(AppText::kCaptionConfirm),
                   QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
        return;
    StartWorker();
}

// Makes sure that the output folder exists, creating it one level deep when it is missing.
// Every message names the folder as the user typed it.
bool CCaptureDlg::PrepareFolder(const QString &typed, const std::string &path)
{
    const unsigned attributes = Platform::GetAttributes(path);
    if (attributes == Platform::PFA_INVALID) {
        MessageBox(typed + Text(AppText::kWillCreate));
        if (!Platform::MakeFolder(path)) {
            ShowLastError(Text(AppText::kCaptionError));
            return false;
        }
        return true;
    }
    if (!(attributes & Platform::PFA_DIRECTORY)) {
        MessageBox(typed + Text(AppText::kNotFolder), Text(AppText::kCaptionError));
        return false;
    }
    return true;
}

void CCaptureDlg::StartWorker()
{
    // The Capture button is enabled, so the last worker has made its last request: it is
    // returning, and joining it cannot wait on this thread.
    if (m_worker.joinable())
        m_worker.join();
    m_bRunning.Start();
    m_bFinalTitleShown = false;

    // The worker leaves the ending signals to this thread: it starts with them blocked.
    const sigset_t watched = CSignalWatcher::WatchedSignals();
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &watched, &previous);
    std::error_code failure;
    try {
        m_worker = std::thread(CaptureThreadProc, &m_host);
    } catch (const std::system_error &e) {
        failure = e.code();
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (failure) {
        errno = failure.value();
        ShowLastError(Text(AppText::kCaptionError));
        return;
    }

    // None of the worker's requests can run before this handler has returned.
    m_bWorkerActive = true;
    EnableControls(false);
    ClearLog();
    setWindowTitle(Text(AppText::kTitleStarted) + QFile::decodeName(m_strOutputFolder.c_str()));
}

void CCaptureDlg::StopCapture()
{
    // Once the worker has shown its final title it only has the controls left to enable: a
    // stop in between must not leave the idle window titled as if it were still finishing.
    if (!m_bFinalTitleShown)
        setWindowTitle(Text(AppText::kTitleStopping));
    m_btnStop->setEnabled(false);
    m_bRunning.Stop();
}

void CCaptureDlg::OnWorkerEnded()
{
    m_bWorkerActive = false;
    emit captureEnded();
    if (m_bEnding)
        QMetaObject::invokeMethod(
            this, [this] { QDialog::reject(); }, Qt::QueuedConnection);
}

void CCaptureDlg::EndSession()
{
    m_bEnding = true;
    for (QDialog *open : findChildren<QDialog *>()) {
        if (open->isVisible())
            open->reject();
    }
    if (m_btnStop->isEnabled())
        StopCapture();
    if (!m_bWorkerActive)
        QMetaObject::invokeMethod(
            this, [this] { QDialog::reject(); }, Qt::QueuedConnection);
}

// Serves the worker's requests until it has made its last one. Only for the end of the
// dialog's life, never from within a request of the worker.
void CCaptureDlg::WaitForWorker()
{
    if (m_bWorkerActive) {
        m_bRunning.Stop();
        QEventLoop loop;
        connect(this, &CCaptureDlg::captureEnded, &loop, &QEventLoop::quit);
        loop.exec();
    }
    if (m_worker.joinable())
        m_worker.join();
}

void CCaptureDlg::AppendLog(const std::string &text)
{
    m_logQueue.Push(text);
    DrainLog();
}

void CCaptureDlg::ScheduleDrain()
{
    if (!m_pDrainTimer->isActive())
        m_pDrainTimer->start();
}

void CCaptureDlg::DrainLog()
{
    CLogQueue::CBatch batch = m_logQueue.Take();
    if (!batch.bClear && batch.text.empty())
        return;
    const QScopedValueRollback writing(m_bWritingLog, true);
    if (batch.bClear)
        m_editLog->clear();
    // The text always lands at the end, wherever the user left the caret.
    m_editLog->moveCursor(QTextCursor::End);
    // The document makes one line break of each "\r\n" (and of a lone CR), so every log line
    // shows as one line; the byte count follows the text as it was appended.
    m_editLog->insertPlainText(QString::fromUtf8(batch.text));
    m_editLog->ensureCursorVisible();
}

void CCaptureDlg::ClearLog()
{
    {
        const QScopedValueRollback writing(m_bWritingLog, true);
        m_editLog->clear();
    }
    m_logQueue.ViewChanged(0);
}

void CCaptureDlg::OnLogEdited()
{
    // The log view can be edited; what the user typed counts towards the limit too.
    if (!m_bWritingLog)
        m_logQueue.ViewChanged(ViewBytes(m_editLog));
}

void CCaptureDlg::ShowLastError(const QString &caption)
{
    const int code = Platform::LastError();
    MessageBox(QString::fromLocal8Bit(Platform::ErrorText(code).c_str()), caption);
}

int CCaptureDlg::MessageBox(const QString &text, const QString &caption,
                            QMessageBox::StandardButtons buttons)
{
    if (m_bEnding)
        return (buttons & QMessageBox::No) ? QMessageBox::No : QMessageBox::Ok;
    return Platform::ShowMessageBox(this, text, caption, buttons);
}
