#pragma once
#include <QStyledItemDelegate>

class CFolderTreeCtrl;

// Commits an edited label only when the tree has renamed the folder on disk; otherwise the
// model is left alone and the old label stays.
class CRenameDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    explicit CRenameDelegate(CFolderTreeCtrl *tree);

    void setModelData(QWidget *editor, QAbstractItemModel *model,
                      const QModelIndex &index) const override;

private:
    CFolderTreeCtrl *m_pTree;
};
