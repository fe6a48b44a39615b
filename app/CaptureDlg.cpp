#include "CaptureDlg.h"

#include "AppTexts.h"
#include "ControlIds.h"
#include "DialogBuilder.h"
#include "DialogHost.h"
#include "FolderDlg.h"
#include "Hooks.h"
#include "LogView.h"
#include "MakeFolder.h"
#include "MessageBox.h"
#include "Platform.h"

#include "CaptureRequest.h"

#include <QCheckBox>
#include <QFile>
#include <QIcon>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include <pcap/pcap.h>

#include <cerrno>
#include <utility>

namespace {

QString Text(const char *utf8) { return QString::fromUtf8(utf8); }

} // namespace

CCaptureDlg::CCaptureDlg(QWidget *parent) : QDialog(parent), m_deviceDlg(this)
{
    const auto controls = BuildDialog(this, IDD_CAPTURE);
    m_editFolder = Bind<QLineEdit>(controls, IDC_EDIT_FOLDER);
    m_checkCombine = Bind<QCheckBox>(controls, IDC_CHECK_COMBINE);
    m_btnStop = Bind<QPushButton>(controls, IDC_BTN_STOP);
    m_btnCapture = Bind<QPushButton>(controls, IDC_BTN_CAPTURE);
    m_editLog = Bind<QPlainTextEdit>(controls, IDC_EDIT_LOG);
    m_editDevice = Bind<QLineEdit>(controls, IDC_EDIT_DEVICE);
    m_btnSelectDevice = Bind<QPushButton>(controls, IDC_BTN_SELECT_DEVICE);
    m_btnSelectFolder = Bind<QPushButton>(controls, IDC_BTN_SELECT_FOLDER);
    m_pHost = new CDialogHost(this);
    m_pLogView = new CLogView(m_editLog, m_pHost->GetLog(), this);

    // The log is written only at its end and can grow without bound over a long capture: an
    // undo history would keep every line ever appended.
    m_editLog->setUndoRedoEnabled(false);

    connect(m_btnCapture, &QPushButton::clicked, this, &CCaptureDlg::OnCapture);
    connect(m_btnStop, &QPushButton::clicked, this, &CCaptureDlg::StopCapture);
    connect(m_btnSelectFolder, &QPushButton::clicked, this, &CCaptureDlg::OnSelectFolder);
    connect(m_btnSelectDevice, &QPushButton::clicked, this, &CCaptureDlg::OnSelectDevice);
    connect(m_pHost, &CDialogHost::logWaiting, m_pLogView,
            [this](bool drawNow) { drawNow ? m_pLogView->Drain() : m_pLogView->Schedule(); });
    connect(m_pHost, &CDialogHost::messageRequested, this, &CCaptureDlg::OnMessageRequested);
    connect(m_pHost, &CDialogHost::fellBackToRaw, this, &CCaptureDlg::OnFellBackToRaw);
    connect(m_pHost, &CDialogHost::folderComplete, this, &CCaptureDlg::OnFolderComplete);
    connect(m_pHost, &CDialogHost::captureEnded, this, &CCaptureDlg::OnCaptureEnded);

    // The window manager draws the minimised window and its icon from the window icon.
    setWindowIcon(QIcon(QStringLiteral(":/res/%1.svg").arg(IDR_MAINFRAME)));
    m_checkCombine->setChecked(true);
    EnableControls(true);
}

CCaptureDlg::~CCaptureDlg()
{
    m_bEnding = true;
    m_pHost->Stop();
    m_pHost->WaitForWorker();
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
    if (!m_btnCapture->isEnabled())
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
    if (MessageBox(Text(AppText::kConfirmOverwrite), Text(AppText::kCaptionConfirm),
                   QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes) {
        m_folder.Close();
        return;
    }
    StartCapture(path);
}

// Makes sure that the output folder exists, creating it one level deep when it is missing,
// private to its owner. The folder is then held open until the capture ends, so the path is
// walked only here (the program runs as the user who ran it through sudo: see main()). Every
// message names the folder as the user typed it.
bool CCaptureDlg::PrepareFolder(const QString &typed, const std::string &path)
{
    const unsigned attributes = Platform::GetAttributes(path);
    if (attributes == Platform::PFA_INVALID) {
        MessageBox(typed + Text(AppText::kWillCreate));
        std::string error;
        if (MakeFolder(path, false, nullptr, m_folder, error))
            return true;
        // A folder swapped in while it was made is told in words of the program's own.
        if (errno == EEXIST)
            MessageBox(QString::fromLocal8Bit(error.c_str()), Text(AppText::kCaptionError));
        else
            ShowLastError(Text(AppText::kCaptionError));
        return false;
    }
    if (!(attributes & Platform::PFA_DIRECTORY)) {
        MessageBox(typed + Text(AppText::kNotFolder), Text(AppText::kCaptionError));
        return false;
    }
    // A folder that cannot be opened is told by the capture, as a line of its log.
    m_folder.Open(path);
    return true;
}

void CCaptureDlg::StartCapture(const std::string &folder)
{
    CCaptureRequest request;
    request.strProgram = "marlinox";
    // The capture opens the interface that the device field names, picked or typed, as it
    // stands: libpcap says why when there is no such interface.
    request.strDevice = m_editDevice->text().toLocal8Bit().toStdString();
    request.bCombine = m_checkCombine->isChecked();
    if (m_folder.IsOpen())
        request.pFolder = &m_folder;
    request.strFolder = folder;
    if (!m_pHost->Start(request)) {
        ShowLastError(Text(AppText::kCaptionError));
        return;
    }
    // None of the worker's events can take effect before this handler has returned.
    EnableControls(false);
    m_pLogView->Clear();
    setWindowTitle(Text(AppText::kTitleStarted) + QFile::decodeName(folder.c_str()));
}

void CCaptureDlg::StopCapture()
{
    setWindowTitle(Text(AppText::kTitleStopping));
    m_btnStop->setEnabled(false);
    m_pHost->Stop();
}

// The worker's message, after every line it logged before.
void CCaptureDlg::OnMessageRequested(const QString &text) { MessageBox(text); }

void CCaptureDlg::OnFellBackToRaw() { m_checkCombine->setChecked(false); }

void CCaptureDlg::OnFolderComplete(const std::string &path)
{
    // A program that a signal or the end of the session ends opens nothing on its way out.
    if (!m_bEnding)
        OpenFolderOnDesktop(path);
}

void CCaptureDlg::OnCaptureEnded(const CCaptureOutcome &outcome)
{
    m_outcome = outcome;
    m_folder.Close();
    setWindowTitle(Text(AppText::kTitleFinished));
    EnableControls(true);
    emit captureEnded();
    if (m_bEnding)
        QMetaObject::invokeMethod(
            this, [this] { QDialog::reject(); }, Qt::QueuedConnection);
}

void CCaptureDlg::EndSession()
{
    // A second request (another signal, the session's end) finds the first one's work under
    // way; repeated, it would close the window again.
    if (std::exchange(m_bEnding, true))
        return;
    for (QDialog *open : findChildren<QDialog *>()) {
        if (open->isVisible())
            open->reject();
    }
    if (m_btnStop->isEnabled())
        StopCapture();
    if (m_btnCapture->isEnabled())
        QMetaObject::invokeMethod(
            this, [this] { QDialog::reject(); }, Qt::QueuedConnection);
}

ICaptureHost &CCaptureDlg::GetHost() { return *m_pHost; }

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
    const QString shown = caption.isEmpty() ? Text(AppText::kCaptionApp) : caption;
    return Platform::ShowMessageBox(this, text, shown, buttons);
}
