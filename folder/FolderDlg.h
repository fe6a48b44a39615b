#pragma once
#include <QDialog>
#include <QString>

class CFolderTreeCtrl;
class QLineEdit;
class QPushButton;
class QTreeWidgetItem;

// The modal dialog in which the user picks the output folder: the folder tree, a path field
// that follows the tree's selection and may be edited by hand, and the "選択" button, which
// hands back the field's text unchanged. Enter does nothing; Esc cancels. The tree opens at the
// current folder once the dialog is shown.
class CFolderDlg : public QDialog
{
    Q_OBJECT

public:
    explicit CFolderDlg(QWidget *parent = nullptr);

    // The chosen path: the field's text when "選択" was pressed, otherwise empty.
    QString GetPath() const { return m_strPath; }

    // Enter: the dialog stays open. (Esc and the close box end it with Rejected, as in any
    // dialog.)
    void accept() override;

protected:
    void showEvent(QShowEvent *event) override;

private:
    void OnInitDialog();
    void OnSelchangedTree();
    void OnChoose();

    QString m_strPath;
    CFolderTreeCtrl *m_tree = nullptr;
    QLineEdit *m_edit = nullptr;
    QPushButton *m_btnChoose = nullptr;
    bool m_bInitialised = false; // the current folder has been selected
};
