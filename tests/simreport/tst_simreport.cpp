// The simulator's report lines: each written byte for byte as the tests and
// the benchmarks read them, and read back field by field.

#include "simreport.h"

#include <QtTest>

using SimReport::Kind;
using SimReport::Report;

class tst_SimReport : public QObject
{
    Q_OBJECT

    // What a line is read as: its kind and its fields, as text.
    static QString fields(const Report &r)
    {
        switch (r.kind) {
        case Kind::Port: return "port|" + r.path;
        case Kind::Dir: return "dir|" + r.path;
        case Kind::Line: return "line|" + r.text + '|' + QString::number(r.baud);
        case Kind::Restarting: return "restarting|" + QString::number(r.ms);
        case Kind::BootLoaderReady: return "boot loader ready";
        case Kind::Receiving: return "receiving|" + r.name + '|' + QString::number(r.size);
        case Kind::Stored:
            return "stored|" + r.name + '|' + QString::number(r.size) + '|' + r.sha256 + '|' + QString::number(r.seconds);
        case Kind::Ended: return "ended|" + r.outcome + '|' + r.name + '|' + QString::number(r.bytes);
        default: return "unknown";
        }
    }

private slots:
    void lines_data()
    {
        const QByteArray sha(64, 'a');
        QTest::addColumn<QString>("made");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("read");
        QTest::newRow("port") << SimReport::port("/dev/pts/3") << QByteArray("port /dev/pts/3") << "port|/dev/pts/3";
        QTest::newRow("dir") << SimReport::dir("/tmp/a b") << QByteArray("dir /tmp/a b") << "dir|/tmp/a b";
        QTest::newRow("line") << SimReport::line("at+version", 9600) << QByteArray("line at+version 9600")
                              << "line|at+version|9600";
        QTest::newRow("line with a space") << SimReport::line("at x", 115200) << QByteArray("line at x 115200")
                                           << "line|at x|115200";
        QTest::newRow("restarting") << SimReport::restarting(800) << QByteArray("restarting 800") << "restarting|800";
        QTest::newRow("boot loader") << SimReport::bootLoaderReady() << QByteArray("boot loader ready")
                                     << "boot loader ready";
        QTest::newRow("receiving") << SimReport::receiving("fw.bin", 20000) << QByteArray("receiving fw.bin 20000")
                                   << "receiving|fw.bin|20000";
        QTest::newRow("receiving, a name holding %1") << SimReport::receiving("fw a%1 b.bin", 5000)
                                                      << QByteArray("receiving fw a%1 b.bin 5000") << "receiving|fw a%1 b.bin|5000";
        QTest::newRow("receiving, no size") << SimReport::receiving("my fw.bin", -1)
                                            << QByteArray("receiving my fw.bin -1") << "receiving|my fw.bin|-1";
        QTest::newRow("stored") << SimReport::stored("my fw.bin", 5, sha, 1.23456)
                                << "stored my fw.bin 5 " + sha + " 1.235" << QString("stored|my fw.bin|5|%1|1.235").arg(QString(sha));
        QTest::newRow("ended") << SimReport::ended("cancelled", "fw.bin", 1024)
                               << QByteArray("ended cancelled fw.bin 1024") << "ended|cancelled|fw.bin|1024";
        QTest::newRow("ended, no name") << SimReport::ended("failed", QString(), 0) << QByteArray("ended failed - 0")
                                        << "ended|failed|-|0";
    }

    void lines()
    {
        QFETCH(QString, made);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, read);
        QCOMPARE(made.toLocal8Bit(), bytes);
        QCOMPARE(fields(SimReport::parse(bytes)), read);
        QCOMPARE(fields(SimReport::parse(bytes + '\n')), read);
    }

    void unknown_data()
    {
        QTest::addColumn<QByteArray>("line");
        for (const char *line : {"", "hello", "port", "boot loader", "line 9600", "line at+version fast",
                                 "restarting soon", "receiving fw.bin", "stored fw.bin 5 abc", "stored a b c d",
                                 "ended cancelled 5", "ended cancelled fw.bin many"})
            QTest::newRow(line) << QByteArray(line);
    }

    void unknown()
    {
        QFETCH(QByteArray, line);
        QCOMPARE(fields(SimReport::parse(line)), "unknown");
    }
};

QTEST_APPLESS_MAIN(tst_SimReport)
#include "tst_simreport.moc"
