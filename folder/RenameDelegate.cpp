#include "RenameDelegate.h"

#include "FolderTreeCtrl.h"

#include <QLineEdit>

CRenameDelegate::CRenameDelegate(CFolderTreeCtrl *tree) : QStyledItemDelegate(tree), m_pTree(tree)
{
}

void CRenameDelegate::setModelData(QWidget *editor, QAbstractItemModel *model,
                                   const QModelIndex &index) const
{
    const auto *edit = qobject_cast<QLineEdit *>(editor);
    if (!edit || !m_pTree->OnEndlabeledit(m_pTree->itemFromIndex(index), edit->text()))
        return;
    QStyledItemDelegate::setModelData(editor, model, index);
}
