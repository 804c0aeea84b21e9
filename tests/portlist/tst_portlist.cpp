// Which ports the window lists and keeps as devices come and go, as plain
// decisions: one table each, no window, no ports, no waiting. The window's
// wiring of them (its timers, the /dev watch, a line error) is tst_widget's.

#include "portlist.h"

#include <QtTest>

Q_DECLARE_METATYPE(PortLoss)

namespace {

QStringList words(const QString &list)
{
    return list.split(' ', Qt::SkipEmptyParts);
}

} // namespace

class tst_PortList : public QObject
{
    Q_OBJECT

private slots:
    // "ttyUSB0" and "/dev/ttyUSB0" are one port; a path outside /dev is itself.
    void findPort_data()
    {
        QTest::addColumn<QString>("ports");
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("found");
        QTest::newRow("by its name") << "ttyS0 ttyUSB0" << "ttyUSB0" << 1;
        QTest::newRow("by its path") << "ttyS0 ttyUSB0" << "/dev/ttyUSB0" << 1;
        QTest::newRow("listed by its path, asked by its name") << "ttyS0 /dev/ttyUSB0" << "ttyUSB0" << 1;
        QTest::newRow("a pseudo-terminal under /dev") << "ttyS0 /dev/pts/3" << "pts/3" << 1;
        QTest::newRow("a link outside /dev") << "ttyS0 /tmp/qivo0" << "/tmp/qivo0" << 1;
        QTest::newRow("a relative path is not under /dev") << "qivo0" << "./qivo0" << -1;
        QTest::newRow("the first of two names") << "ttyUSB0 /dev/ttyUSB0" << "ttyUSB0" << 0;
        QTest::newRow("not listed") << "ttyS0" << "ttyUSB0" << -1;
        QTest::newRow("nothing listed") << "" << "ttyS0" << -1;
    }

    void findPort()
    {
        QFETCH(QString, ports);
        QFETCH(QString, name);
        QFETCH(int, found);
        QCOMPARE(::findPort(words(ports), name), found);
    }

    // The selector as the system's ports change: "*" marks the current one;
    // `given` is the port named on the command line while it exists.
    void followPorts_data()
    {
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("system");
        QTest::addColumn<bool>("held");
        QTest::addColumn<QString>("given");
        QTest::addColumn<QString>("after");
        QTest::newRow("plugged in, choice kept") << "ttyS0 *ttyUSB1 /tmp/qivo0" << "ttyACM0 ttyS0 ttyUSB1" << false
                                                 << "/tmp/qivo0" << "ttyACM0 ttyS0 *ttyUSB1 /tmp/qivo0";
        QTest::newRow("system order") << "*ttyUSB1 ttyS0" << "ttyS0 ttyUSB1" << false << "" << "ttyS0 *ttyUSB1";
        QTest::newRow("choice pulled out, given one gone")
            << "ttyS0 *ttyUSB0 /tmp/qivo0" << "ttyS0 ttyUSB1" << false << "" << "*ttyS0 ttyUSB1";
        QTest::newRow("first one plugged in") << "" << "ttyUSB0" << false << "" << "*ttyUSB0";
        QTest::newRow("last one pulled out") << "*ttyUSB0" << "" << false << "" << "";
        QTest::newRow("given one comes: chosen") << "*ttyS0" << "ttyS0" << false << "pts/3" << "ttyS0 *pts/3";
        QTest::newRow("given one comes alone") << "" << "" << false << "/tmp/qivo0" << "*/tmp/qivo0";
        QTest::newRow("given one stays: choice kept")
            << "*ttyS0 /tmp/qivo0" << "ttyS0" << false << "/tmp/qivo0" << "*ttyS0 /tmp/qivo0";
        QTest::newRow("given one the system lists: once, by its name")
            << "*ttyS0" << "ttyS0 ttyUSB0" << false << "/dev/ttyUSB0" << "ttyS0 *ttyUSB0";
        QTest::newRow("held: no change") << "ttyS0 *ttyUSB0" << "ttyACM0 ttyS0" << true << "/tmp/qivo0"
                                         << "ttyS0 *ttyUSB0";
    }

    void followPorts()
    {
        QFETCH(QString, shown);
        QFETCH(QString, system);
        QFETCH(bool, held);
        QFETCH(QString, given);
        QFETCH(QString, after);
        const QStringList items = words(shown);
        const int current = items.indexOf(QRegularExpression("^\\*.*"));
        const PortChoice now =
            ::followPorts({QStringList(items).replaceInStrings("*", ""), current}, words(system), held, given);
        QStringList got = now.ports;
        if (now.current >= 0)
            got[now.current].prepend('*');
        QCOMPARE(got.join(' '), after);
    }

    // Whether the list is behind the given port: it came and is not listed,
    // or went and still is.
    void givenMoved_data()
    {
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("given");
        QTest::addColumn<bool>("present");
        QTest::addColumn<bool>("moved");
        QTest::newRow("none given") << "ttyS0" << "" << false << false;
        QTest::newRow("came") << "ttyS0" << "/tmp/qivo0" << true << true;
        QTest::newRow("came and listed") << "ttyS0 /tmp/qivo0" << "/tmp/qivo0" << true << false;
        QTest::newRow("went") << "ttyS0 /tmp/qivo0" << "/tmp/qivo0" << false << true;
        QTest::newRow("went and gone from the list") << "ttyS0" << "/tmp/qivo0" << false << false;
        QTest::newRow("listed by the system by its name") << "ttyS0 ttyUSB0" << "/dev/ttyUSB0" << true << false;
    }

    void givenMoved()
    {
        QFETCH(QString, shown);
        QFETCH(QString, given);
        QFETCH(bool, present);
        QFETCH(bool, moved);
        QCOMPARE(::givenMoved(words(shown), given, present), moved);
    }

    // Looks in a row, each written as what the window holds when it starts
    // and when it ends ('H' held, '-' not: "H-" lets go of a lost port), with
    // 'm' where the given port moved; `follows` has 'f' for each look after
    // which the list follows, '.' for the others.
    void portWatch_data()
    {
        QTest::addColumn<bool>("devWatched");
        QTest::addColumn<QString>("looks");
        QTest::addColumn<QString>("follows");
        QTest::newRow("nothing held: the /dev watch does it") << true << "-- -- --" << "...";
        QTest::newRow("/dev not watched: every look") << false << "-- HH H- --" << "ffff";
        QTest::newRow("held: frozen") << true << "HH HH" << "..";
        QTest::newRow("let go between looks: once") << true << "HH -- --" << ".f.";
        QTest::newRow("lost during a look: at once") << true << "HH H- --" << ".f.";
        QTest::newRow("taken since the last look and lost in this one") << true << "-- H- --" << ".f.";
        QTest::newRow("given port moved: at once") << true << "--m --" << "f.";
        QTest::newRow("given port moved while held: when let go") << true << "HHm HHm --m" << "..f";
        QTest::newRow("given port moved as a port is lost") << true << "H-m" << "f";
    }

    void portWatch()
    {
        QFETCH(bool, devWatched);
        QFETCH(QString, looks);
        QFETCH(QString, follows);
        PortWatch watch(devWatched);
        QString got;
        for (const QString &look : words(looks)) {
            watch.start(look[0] == 'H');
            got += watch.follow(look[1] == 'H', look.endsWith('m')) ? 'f' : '.';
        }
        QCOMPARE(got, follows);
    }

    // The port the window holds goes away.
    void portLoss_data()
    {
        QTest::addColumn<bool>("taken");
        QTest::addColumn<bool>("busy");
        QTest::addColumn<bool>("open");
        QTest::addColumn<bool>("closing");
        QTest::addColumn<PortLoss>("loss");
        QTest::newRow("nothing taken") << false << false << false << false << PortLoss::Ignored;
        QTest::newRow("taken, idle: released") << true << false << true << false << PortLoss::Released;
        QTest::newRow("preamble: it ends") << true << true << true << false << PortLoss::EndsPreamble;
        QTest::newRow("transfer: the worker reports it") << true << true << false << false << PortLoss::Ignored;
        QTest::newRow("cancelled, outcome to come") << false << true << false << false << PortLoss::Ignored;
        QTest::newRow("closing, taken") << true << false << true << true << PortLoss::Ignored;
        QTest::newRow("closing in the preamble") << true << true << true << true << PortLoss::Ignored;
    }

    void portLoss()
    {
        QFETCH(bool, taken);
        QFETCH(bool, busy);
        QFETCH(bool, open);
        QFETCH(bool, closing);
        QFETCH(PortLoss, loss);
        QCOMPARE(::portLoss(taken, busy, open, closing), loss);
    }
};

QTEST_APPLESS_MAIN(tst_PortList)

#include "tst_portlist.moc"
