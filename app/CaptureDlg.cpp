#include "CaptureDlg.h"

#include "AppTexts.h"
#include "DialogBuilder.h"
#include "DialogHost.h"
#include "FolderDlg.h"
#include "Hooks.h"
#include "MessageBox.h"
#include "Platform.h"
#include "Privileges.h"

#include <QCheckBox>
#include <QFile>
#include <QIcon>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include <pcap/pcap.h>

namespace {

constexpr int kEditDevice = 1001;
constexpr int kEditLog = 1004;
constexpr int kBtnCapture = 1005;
constexpr int kBtnStop = 1006;
constexpr int kEditFolder = 1008;
constexpr int kCheckCombine = 1010;
constexpr int kBtnSelectDevice = 1011;
constexpr int kBtnSelectFolder = 1013;

QString Text(const char *utf8) { return QString::fromUtf8(utf8); }

} // namespace

CCaptureDlg::CCaptureDlg(QWidget *parent) : QDialog(parent), m_deviceDlg(this)
{
    const auto controls = BuildDialog(this, IDD);
    m_editFolder = Bind<QLineEdit>(controls, kEditFolder);
    m_checkCombine = Bind<QCheckBox>(controls, kCheckCombine);
    m_btnStop = Bind<QPushButton>(controls, kBtnStop);
    m_btnCapture = Bind<QPushButton>(controls, kBtnCapture);
    m_editLog = Bind<QPlainTextEdit>(controls, kEditLog);
    m_editDevice = Bind<QLineEdit>(controls, kEditDevice);
    m_btnSelectDevice = Bind<QPushButton>(controls, kBtnSelectDevice);
    m_btnSelectFolder = Bind<QPushButton>(controls, kBtnSelectFolder);
    m_pHost = new CDialogHost(*this, m_editLog);

    // The log is written only at its end and can grow without bound over a long capture: an
    // undo history would keep every line ever appended.
    m_editLog->setUndoRedoEnabled(false);

    connect(m_btnCapture, &QPushButton::clicked, this, &CCaptureDlg::OnCapture);
    connect(m_btnStop, &QPushButton::clicked, this, &CCaptureDlg::StopCapture);
    connect(m_btnSelectFolder, &QPushButton::clicked, this, &CCaptureDlg::OnSelectFolder);
    connect(m_btnSelectDevice, &QPushButton::clicked, this, &CCaptureDlg::OnSelectDevice);

    // The window manager draws the minimised window and its icon from the window icon.
    setWindowIcon(QIcon(QStringLiteral(":/res/131.svg")));
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
    if (m_pHost->IsActive())
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
                   QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
        return;
    StartCapture(path);
}

// Makes sure that the output folder exists, creating it one level deep when it is missing:
// private to its owner, and handed to the user who ran the program through sudo. Every message
// names the folder as the user typed it.
bool CCaptureDlg::PrepareFolder(const QString &typed, const std::string &path)
{
    const unsigned attributes = Platform::GetAttributes(path);
    if (attributes == Platform::PFA_INVALID) {
        MessageBox(typed + Text(AppText::kWillCreate));
        CUser user;
        if (!Platform::MakeFolder(path, 0700) ||
            (Privileges::GetInvokingUser(user) &&
             !Platform::GiveFolderTo(path, user.uid, user.gid))) {
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

void CCaptureDlg::StartCapture(const std::string &folder)
{
    // The capture takes the interface that the device field names, typed or picked.
    const QByteArray device = m_editDevice->text().toLocal8Bit();
    const pcap_if *picked = m_deviceDlg.GetSelectedDevice();
    if (!picked || device != picked->name)
        m_deviceDlg.SelectByName(device.toStdString());
    if (!m_pHost->Start(folder, m_deviceDlg.GetSelectedDevice())) {
        ShowLastError(Text(AppText::kCaptionError));
        return;
    }
    // None of the worker's requests can run before this handler has returned.
    EnableControls(false);
    m_pHost->ClearLog();
    setWindowTitle(Text(AppText::kTitleStarted) + QFile::decodeName(folder.c_str()));
}

void CCaptureDlg::StopCapture()
{
    // Once the worker has shown its final title it only has the controls left to enable: a
    // stop in between must not leave the idle window titled as if it were still finishing.
    if (!m_pHost->IsFinishing())
        setWindowTitle(Text(AppText::kTitleStopping));
    m_btnStop->setEnabled(false);
    m_pHost->Stop();
}

void CCaptureDlg::OnCaptureEnded()
{
    EnableControls(true);
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
    if (!m_pHost->IsActive())
        QMetaObject::invokeMethod(
            this, [this] { QDialog::reject(); }, Qt::QueuedConnection);
}

ICaptureHost &CCaptureDlg::GetHost() { return *m_pHost; }

const CCaptureOutcome &CCaptureDlg::GetLastOutcome() const { return m_pHost->GetOutcome(); }

bool CCaptureDlg::GetCombineCheck() const { return m_checkCombine->isChecked(); }

void CCaptureDlg::ClearCombineCheck() { m_checkCombine->setChecked(false); }

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
