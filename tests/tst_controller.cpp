#include "sqlControler.h"
#include "testsupport.h"

#include <QtTest>

using namespace testsupport;

class tst_controller : public QObject {
    Q_OBJECT
private slots:
    void snapshotLifecycle();
};

void tst_controller::snapshotLifecycle()
{
    WorkDir dir;
    QCOMPARE(makeSourceDatabase("CREATE TABLE \"2024-03-05\"(sn TEXT, send INTEGER, a TEXT);"), std::string());
    const QByteArray before = fileBytes(sourcePath());
    sqlController controller;
    controller.initPara();
    QVERIFY(QFile::exists(snapshotFile()));
    QCOMPARE(controller.getTableNames(), std::vector<std::string>{"2024-03-05"});
    controller.closeDatabase();
    QVERIFY(!QFile::exists(snapshotFile()));
    QCOMPARE(fileBytes(sourcePath()), before);
}

QTEST_GUILESS_MAIN(tst_controller)
#include "tst_controller.moc"
