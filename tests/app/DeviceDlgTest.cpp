#include "DeviceDlg.h"
#include "AppTestSupport.h"

#include <QTreeWidget>

#include <pcap/pcap.h>

#include <memory>

namespace {

const CFakeDevices::Devices kDevices = {
    {"eth0", "Intel Ethernet"}, {"lo", nullptr}, {"wlp2s0", "無線 LAN"}};

QStringList Rows(QDialog &dlg)
{
    QStringList rows;
    auto *list = dlg.findChild<QTreeWidget *>("id1003");
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        rows << list->topLevelItem(i)->text(0) + '|' + list->topLevelItem(i)->text(1);
    return rows;
}

} // namespace

class TestDeviceDlg : public QObject
{
    Q_OBJECT

    CMessageRecorder m_boxes; // no test may open a real box

private slots:
    // Every run fetches and shows a fresh list; a failed fetch leaves the columns and no rows.
    void listsWhatTheLibraryReports()
    {
        CFakeDevices devices(kDevices);
        CModalScript script;
        CDeviceDlg dlg;
        const QStringList rows = {"eth0|Intel Ethernet", "lo|", Text("wlp2s0|無線 LAN")};
        QList<QStringList> shown;
        for (int i = 0; i < 3; ++i)
            script.m_actions.push_back([&](QDialog &d) { shown << Rows(d); });
        for (bool fail : {false, false, true}) {
            devices.m_bFail = fail;
            QCOMPARE(dlg.DoModal(), int(QDialog::Rejected));
        }
        QCOMPARE(shown, (QList<QStringList>{rows, rows, {}}));
        QCOMPARE(devices.m_nFetched, 2);
        auto *list = dlg.findChild<QTreeWidget *>("id1003");
        QCOMPARE(list->columnCount(), 2);
        QCOMPARE(list->columnWidth(0), 400);
        QCOMPARE(list->columnWidth(1), 400);
        QVERIFY(!dlg.GetSelectedDevice() && m_boxes.m_boxes.isEmpty());
    }

    void secondRun_data()
    {
        QTest::addColumn<int>("key"); // 0: a double-click on the row
        QTest::addColumn<int>("row");
        QTest::addColumn<bool>("leftOpen");
        QTest::addColumn<QString>("picked");
        QTest::newRow("double-click picks the first row") << 0 << 0 << false << "eth0";
        QTest::newRow("one without a description") << 0 << 1 << false << "lo";
        QTest::newRow("Esc cancels") << int(Qt::Key_Escape) << 0 << false << "wlp2s0";
        QTest::newRow("Return does nothing") << int(Qt::Key_Return) << 0 << true << "wlp2s0";
    }
    // A first run picks the last row; a second run picks another row or keeps that pick, whose
    // record stays readable. The lists go back to the library only with the chooser.
    void secondRun()
    {
        QFETCH(int, key);
        QFETCH(int, row);
        QFETCH(bool, leftOpen);
        QFETCH(QString, picked);
        CFakeDevices devices(kDevices);
        CModalScript script;
        auto dlg = std::make_unique<CDeviceDlg>();
        script.m_actions.push_back([](QDialog &d) { DoubleClickDevice(d, "wlp2s0"); });
        script.m_actions.push_back([&](QDialog &d) {
            auto *list = d.findChild<QTreeWidget *>("id1003");
            if (!key)
                return DoubleClickDevice(d, list->topLevelItem(row)->text(0));
            list->setFocus();
            list->setCurrentItem(list->topLevelItem(row)); // selected, but not picked
            QTest::keyClick(list, Qt::Key(key));
        });
        QCOMPARE(dlg->DoModal(), int(QDialog::Accepted));
        const pcap_if *first = dlg->GetSelectedDevice();
        QCOMPARE(dlg->DoModal(), key ? int(QDialog::Rejected) : int(QDialog::Accepted));
        QCOMPARE(script.m_leftOpen, (QList<bool>{false, leftOpen}));
        QCOMPARE(dlg->GetSelectedDevice()->name, picked);
        QCOMPARE(dlg->GetSelectedDevice() == first, bool(key));
        QCOMPARE(devices.m_nFreed, 0);
        dlg.reset();
        QCOMPARE(devices.m_nFreed, 2);
    }

    void realLibpcapListsLoopback()
    {
        CModalScript script;
        CDeviceDlg dlg;
        script.m_actions.push_back([](QDialog &d) { DoubleClickDevice(d, "lo"); });
        QCOMPARE(dlg.DoModal(), int(QDialog::Accepted));
        QCOMPARE(dlg.GetSelectedDevice()->name, "lo");
    }
};

QTEST_MAIN(TestDeviceDlg)
#include "DeviceDlgTest.moc"
