#include "FolderDlg.h"

#include "ControlIds.h"
#include "DialogBuilder.h"
#include "FolderTreeCtrl.h"
#include "Platform.h"

#include <QFile>
#include <QLineEdit>
#include <QPushButton>

#include <utility>

CFolderDlg::CFolderDlg(QWidget *parent) : QDialog(parent)
{
    const auto controls = BuildDialog(this, IDD_FOLDER, [](const ControlTemplate &c, QWidget *p) {
        return c.nId == IDC_TREE_FOLDER ? new CFolderTreeCtrl(p) : nullptr;
    });
    m_tree = Bind<CFolderTreeCtrl>(controls, IDC_TREE_FOLDER);
    m_edit = Bind<QLineEdit>(controls, IDC_EDIT_FOLDER);
    m_btnChoose = Bind<QPushButton>(controls, IDC_BTN_CHOOSE);

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
