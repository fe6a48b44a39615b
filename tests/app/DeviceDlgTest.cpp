#include "DeviceDlg.h"
#include "AppTestSupport.h"

#include <QHeaderView>
#include <QTest>
#include <QTreeWidget>

#include <pcap/pcap.h>

#include <memory>

namespace {

QString Text(const char *utf8) { return QString::fromUtf8(utf8); }

QTreeWidget *List(CDeviceDlg &dlg) { return dlg.findChild<QTreeWidget *>("id1003"); }

const std::vector<std::pair<const char *, const char *>> kDevices = {
    {"eth0", "Intel Ethernet"}, {"lo", nullptr}, {"wlp2s0", "無線 LAN"}};

} // namespace

class TestDeviceDlg : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_boxes = std::make_unique<CMessageRecorder>(); }
    void cleanup() { m_boxes.reset(); }

    void listsWhatTheLibraryReports();
    void doubleClickPicksThatRow_data();
    void doubleClickPicksThatRow();
    void otherEndsKeepTheEarlierPick_data();
    void otherEndsKeepTheEarlierPick();
    void listsLiveUntilTheChooserGoes();
    void realLibpcapListsLoopback();

private:
    std::unique_ptr<CMessageRecorder> m_boxes; // no test may open a real box
};

void TestDeviceDlg::listsWhatTheLibraryReports()
{
    CFakeDevices devices(kDevices);
    CModalScript script;
    CDeviceDlg dlg;

    QCOMPARE(dlg.DoModal(), int(QDialog::Rejected));
    QCOMPARE(dlg.windowTitle(), Text("デバイスの選択"));
    QTreeWidget *list = List(dlg);
    QCOMPARE(list->headerItem()->text(0), Text("デバイス名"));
    QCOMPARE(list->headerItem()->text(1), Text("詳細"));
    QCOMPARE(list->columnWidth(0), 400);
    QCOMPARE(list->columnWidth(1), 400);
    QCOMPARE(list->topLevelItemCount(), 3);
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(list->topLevelItem(i)->text(0), Text(kDevices[size_t(i)].first));
        QCOMPARE(list->topLevelItem(i)->text(1), Text(kDevices[size_t(i)].second));
    }
    QVERIFY(!dlg.GetSelectedDevice());

    // Every run fetches the list again; a failed fetch leaves the headers and no rows.
    QCOMPARE(dlg.DoModal(), int(QDialog::Rejected));
    QCOMPARE(devices.m_nFetched, 2);
    QCOMPARE(list->topLevelItemCount(), 3);
    devices.m_bFail = true;
    QCOMPARE(dlg.DoModal(), int(QDialog::Rejected));
    QCOMPARE(list->topLevelItemCount(), 0);
    QCOMPARE(list->columnCount(), 2);
    QVERIFY(m_boxes->m_boxes.isEmpty());
}

void TestDeviceDlg::doubleClickPicksThatRow_data()
{
    QTest::addColumn<int>("row");
    QTest::newRow("first") << 0;
    QTest::newRow("second, no description") << 1;
    QTest::newRow("last") << 2;
}

void TestDeviceDlg::doubleClickPicksThatRow()
{
    QFETCH(int, row);
    CFakeDevices devices(kDevices);
    CModalScript script;
    CDeviceDlg dlg;
    script.m_actions.push_back([row](QDialog &d) { DoubleClickRow(d, row); });

    QCOMPARE(dlg.DoModal(), int(QDialog::Accepted));
    QCOMPARE(script.m_leftOpen, QList<bool>{false});
    QVERIFY(dlg.GetSelectedDevice());
    QCOMPARE(dlg.GetSelectedDevice()->name, kDevices[size_t(row)].first);
}

void TestDeviceDlg::otherEndsKeepTheEarlierPick_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<bool>("staysOpen");
    QTest::newRow("Esc cancels") << int(Qt::Key_Escape) << false;
    QTest::newRow("Return does nothing") << int(Qt::Key_Return) << true;
    QTest::newRow("Enter does nothing") << int(Qt::Key_Enter) << true;
}

void TestDeviceDlg::otherEndsKeepTheEarlierPick()
{
    QFETCH(int, key);
    QFETCH(bool, staysOpen);
    CFakeDevices devices(kDevices);
    CModalScript script;
    CDeviceDlg dlg;
    script.m_actions.push_back([](QDialog &d) { DoubleClickRow(d, 2); });
    QCOMPARE(dlg.DoModal(), int(QDialog::Accepted));
    const pcap_if *picked = dlg.GetSelectedDevice();

    // A row is selected, but only a double-click picks it.
    script.m_actions.push_back([key](QDialog &d) {
        auto *list = d.findChild<QTreeWidget *>("id1003");
        list->setFocus();
        list->setCurrentItem(list->topLevelItem(0));
        QTest::keyClick(list, Qt::Key(key));
    });
    QCOMPARE(dlg.DoModal(), int(QDialog::Rejected));
    QCOMPARE(script.m_leftOpen.last(), staysOpen);
    QCOMPARE(dlg.GetSelectedDevice(), picked);
    // The earlier run's record is still readable.
    QCOMPARE(dlg.GetSelectedDevice()->name, "wlp2s0");
}

void TestDeviceDlg::listsLiveUntilTheChooserGoes()
{
    CFakeDevices devices(kDevices);
    CModalScript script;
    {
        CDeviceDlg dlg;
        script.m_actions.push_back([](QDialog &d) { DoubleClickRow(d, 0); });
        dlg.DoModal();
        dlg.DoModal();
        dlg.DoModal();
        QCOMPARE(devices.m_nFreed, 0);
    }
    QCOMPARE(devices.m_nFreed, 3);
}

void TestDeviceDlg::realLibpcapListsLoopback()
{
    CModalScript script;
    CDeviceDlg dlg;
    QStringList shown;
    script.m_actions.push_back([&shown](QDialog &d) {
        auto *list = d.findChild<QTreeWidget *>("id1003");
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            shown.append(list->topLevelItem(i)->text(0));
        DoubleClickDevice(d, "lo");
    });

    QCOMPARE(dlg.DoModal(), int(QDialog::Accepted));
    QVERIFY2(shown.contains("lo"), qPrintable(shown.join(' ')));
    QCOMPARE(dlg.GetSelectedDevice()->name, "lo");
}

QTEST_MAIN(TestDeviceDlg)
#include "DeviceDlgTest.moc"
