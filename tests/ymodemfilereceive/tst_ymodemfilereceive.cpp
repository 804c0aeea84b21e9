#include <QtTest>
class tst_YmodemFileReceive : public QObject { Q_OBJECT };
QTEST_GUILESS_MAIN(tst_YmodemFileReceive)
#include "tst_ymodemfilereceive.moc"
