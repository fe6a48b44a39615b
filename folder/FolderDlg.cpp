#include "FolderDlg.h"

#include "DialogBuilder.h"
#include "FolderTreeCtrl.h"
#include "Platform.h"

#include <QFile>
#include <QLineEdit>
#include <QPushButton>

#include <utility>

namespace {

constexpr int kTemplate = 130;
constexpr int kTree = 1007;
constexpr int kEdit = 1008;
constexpr int kChoose = 1014;

} // namespace

CFolderDlg::CFolderDlg(QWidget *parent) : QDialog(parent)
{
    const auto controls = BuildDialog(this, kTemplate, [](const ControlTemplate &c, QWidget *p) {
        return c.nId == kTree ? new CFolderTreeCtrl(p) : nullptr;
    });
    m_tree = Bind<CFolderTreeCtrl>(controls, kTree);
    m_edit = Bind<QLineEdit>(controls, kEdit);
    m_btnChoose = Bind<QPushButton>(controls, kChoose);

    connect(m_tree, &CFolderTreeCtrl::selchanged, this, &CFolderDlg::OnSelchangedTree);
    connect(m_btnChoose, &QPushButton::clicked, this, &CFolderDlg::OnChoose);
    m_tree->InitTree();
}

void CFolderDlg::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    // Selecting the current folder lists folders along its path and may show a message box, so
    // it waits until the chooser's own window is up: the box then comes in front of it.
    if (!std::exchange(m_bInitialised, true))
        QMetaObject::invokeMethod(this, &CFolderDlg::OnInitDialog, Qt::QueuedConnection);
}

void CFolderDlg::OnInitDialog()
{
    // With a '/' appended, the current folder itself is selected, not the one that holds it.
    QString current = QFile::decodeName(QByteArray::fromStdString(Platform::CurrentFolder()));
    if (!current.isEmpty() && !current.endsWith(u'/'))
        current += u'/';
    m_tree->SelectPath(current);
    m_tree->setFocus();
}

void CFolderDlg::OnSelchangedTree() { m_edit->setText(m_tree->GetSelectedPath()); }

void CFolderDlg::OnChoose()
{
    m_strPath = m_edit->text();
    QDialog::accept();
}

void CFolderDlg::accept() {}
