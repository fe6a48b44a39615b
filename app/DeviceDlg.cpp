#include "DeviceDlg.h"

#include "AppTexts.h"
#include "ControlIds.h"
#include "DialogBuilder.h"
#include "Hooks.h"

#include <QHeaderView>
#include <QScreen>
#include <QTreeWidget>

#include <pcap/pcap.h>

namespace {

constexpr int kColumnWidth = 400; // pixels, both columns

CDeviceDlg::CListSource &Source()
{
    static CDeviceDlg::CListSource source;
    return source;
}

CDeviceDlg::CListSource LibpcapSource() { return {pcap_findalldevs, pcap_freealldevs}; }

} // namespace

CDeviceDlg::CListSource CDeviceDlg::SetListSource(CListSource source)
{
    CListSource previous = Source().findAll ? Source() : LibpcapSource();
    Source() = source.findAll ? std::move(source) : LibpcapSource();
    return previous;
}

CDeviceDlg::CDeviceDlg(QWidget *parent) : QDialog(parent)
{
    if (!Source().findAll)
        Source() = LibpcapSource();
    const auto controls = BuildDialog(this, IDD_DEVICE);
    m_list = Bind<QTreeWidget>(controls, IDC_LIST_DEVICE);
    m_list->setHeaderLabels(
        {QString::fromUtf8(AppText::kColumnName), QString::fromUtf8(AppText::kColumnDetail)});
    m_list->header()->setStretchLastSection(false);
    m_list->setColumnWidth(0, kColumnWidth);
    m_list->setColumnWidth(1, kColumnWidth);
    connect(m_list, &QTreeWidget::itemDoubleClicked, this, &CDeviceDlg::OnDblclkList);
}

CDeviceDlg::~CDeviceDlg()
{
    m_list->clear();
    for (const CFetchedList &fetched : m_lists)
        fetched.freeAll(fetched.pList);
}

int CDeviceDlg::DoModal()
{
    OnInitDialog();
    CenterWindow();
    return RunModal(*this);
}

void CDeviceDlg::accept() {}

pcap_if *CDeviceDlg::FetchList()
{
    pcap_if_t *list = nullptr;
    char error[PCAP_ERRBUF_SIZE] = "";
    if (Source().findAll(&list, error) != 0 || !list)
        return nullptr;
    m_lists.push_back({list, Source().freeAll});
    return list;
}

void CDeviceDlg::OnInitDialog()
{
    m_list->clear();
    // A failure shows the headers and no rows; the library's text is not shown.
    for (pcap_if_t *device = FetchList(); device; device = device->next) {
        auto *row = new QTreeWidgetItem(m_list);
        row->setText(0, QString::fromLocal8Bit(device->name));
        if (device->description)
            row->setText(1, QString::fromLocal8Bit(device->description));
        row->setData(0, Qt::UserRole, QVariant::fromValue(static_cast<void *>(device)));
    }
}

// Qt places a dialog shown again by its frame, using the frame that it knew before the window
// was hidden, and the window manager adds its frame once more: the chooser would open a title
// bar's height lower than before. Placing the client area itself, which the window manager
// keeps where it is asked, opens it in the same place every time.
void CDeviceDlg::CenterWindow()
{
    const QWidget *owner = parentWidget() ? parentWidget()->window() : nullptr;
    if (!owner)
        return;
    QRect placed(QPoint(), size());
    placed.moveCenter(owner->geometry().center());
    // Kept on the owner's screen, as far as it fits there.
    const QRect screen = owner->screen()->availableGeometry();
    placed.moveLeft(qBound(screen.left(), placed.left(), screen.right() + 1 - placed.width()));
    placed.moveTop(qBound(screen.top(), placed.top(), screen.bottom() + 1 - placed.height()));
    setGeometry(placed);
}

void CDeviceDlg::OnDblclkList()
{
    const QList<QTreeWidgetItem *> selected = m_list->selectedItems();
    if (selected.isEmpty())
        return;
    m_pSelected =
        static_cast<const pcap_if *>(selected.first()->data(0, Qt::UserRole).value<void *>());
    QDialog::accept();
}
