// The station board's HTTP side: what it refuses, how many clients it
// takes, that a client that stops reading is dropped while the others get
// every event, and, against a running station, that /events carries the
// objects --json prints, /status the snapshot and /metrics the counts
// (promtool reads the same body in the monitoring test).

#include "boardserver.h"
#include "peers.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>

#include <sys/socket.h>

namespace {

// One connection, raw: the bytes sent as they are, what comes back as it comes.
struct Client
{
    explicit Client(quint16 port, const QByteArray &request, int receiveBuffer = 0)
    {
        if (receiveBuffer > 0) {
            // A small window, so that a client that stops reading is full soon.
            socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, receiveBuffer);
        }
        socket.connectToHost("127.0.0.1", port);
        if (socket.waitForConnected(3000))
            socket.write(request);
    }
    QByteArray readAll(int ms)
    {
        QByteArray got;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < ms && socket.state() == QAbstractSocket::ConnectedState) {
            socket.waitForReadyRead(50);
            got += socket.readAll();
        }
        return got + socket.readAll();
    }
    QTcpSocket socket;
};

QByteArray get(const QByteArray &path)
{
    return "GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n";
}

// A response's body, its chunks joined.
QByteArray body(const QByteArray &response)
{
    const int start = response.indexOf("\r\n\r\n") + 4;
    if (!response.left(start).contains("Transfer-Encoding: chunked"))
        return response.mid(start);
    QByteArray joined;
    for (int at = start; at < response.size();) {
        const int line = response.indexOf("\r\n", at);
        bool ok = false;
        const int size = response.mid(at, line - at).toInt(&ok, 16);
        if (line < 0 || !ok || size == 0)
            break;
        joined += response.mid(line + 2, size);
        at = line + 2 + size + 2;
    }
    return joined;
}

// The JSON objects of an event stream, in order.
QList<QJsonObject> messages(const QByteArray &response)
{
    QList<QJsonObject> list;
    for (const QByteArray &line : body(response).split('\n'))
        if (line.startsWith("data: "))
            list << QJsonDocument::fromJson(line.mid(6)).object();
    return list;
}

} // namespace

class TstBoard : public QObject
{
    Q_OBJECT

private slots:
    void refusals_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("status");
        QTest::newRow("GET") << get("/status") << QByteArray("HTTP/1.1 200");
        QTest::newRow("HEAD") << QByteArray("HEAD / HTTP/1.1\r\nHost: x\r\n\r\n") << QByteArray("HTTP/1.1 200");
        QTest::newRow("unknown path") << get("/admin") << QByteArray("HTTP/1.1 404");
        for (const char *method : {"POST", "PUT", "DELETE", "PATCH", "OPTIONS"})
            QTest::newRow(method) << QByteArray(method) + " /status HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n"
                                  << QByteArray("HTTP/1.1 405");
        QTest::newRow("a body to a GET") << QByteArray("GET / HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello")
                                         << QByteArray("HTTP/1.1 413");
        QTest::newRow("headers past the bound") << "GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + QByteArray(40000, 'a')
                                                       + "\r\n\r\n"
                                                << QByteArray("HTTP/1.1 431");
    }

    void refusals()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, status);
        BoardServer server;
        server.addFile("/", "<p>page</p>", "text/html");
        QString error;
        QVERIFY2(server.start("127.0.0.1", 0, &error), qPrintable(error));
        server.setSnapshot("{}");
        Client client(server.port(), request);
        const QByteArray answer = client.readAll(1000);
        QVERIFY2(answer.startsWith(status), answer.left(200));
        // What the library refuses itself comes without the board's headers.
        QVERIFY(status == "HTTP/1.1 431" || answer.contains("Content-Security-Policy: default-src 'none'"));
        QVERIFY(!request.startsWith("HEAD") || !answer.contains("<p>page</p>"));
    }

    // A client past the bound is told so; one that leaves makes room.
    void tooManyClients()
    {
        BoardServer::Limits limits;
        limits.streams = 2;
        limits.pingSeconds = 1; // a client gone is noticed at the next write
        BoardServer server(limits);
        QString error;
        QVERIFY(server.start("127.0.0.1", 0, &error));
        auto first = std::make_unique<Client>(server.port(), get("/events"));
        Client second(server.port(), get("/events"));
        QVERIFY(first->readAll(300).startsWith("HTTP/1.1 200") && second.readAll(300).startsWith("HTTP/1.1 200"));
        QVERIFY(Client(server.port(), get("/events")).readAll(1000).startsWith("HTTP/1.1 503"));
        first.reset();
        QTRY_COMPARE(server.streamCount(), 1);
        QVERIFY(Client(server.port(), get("/events")).readAll(300).startsWith("HTTP/1.1 200"));
    }

    // A client that stops reading is dropped; one that reads gets every
    // event, in order, after the snapshot, and memory holds a bounded ring.
    void stalledClientDropped()
    {
        BoardServer::Limits limits;
        limits.idleSeconds = 1;
        limits.ringEvents = 64;
        BoardServer server(limits);
        QString error;
        QVERIFY(server.start("127.0.0.1", 0, &error));
        server.setSnapshot("{\"event\":\"snapshot\"}");
        Client stalled(server.port(), get("/events"), 4096);
        Client reader(server.port(), get("/events"));
        QTRY_COMPARE(server.streamCount(), 2);
        QByteArray got;
        const QByteArray padding(2000, 'x');
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < 3000; ++i) {
            server.publish(QString("{\"n\":%1,\"pad\":\"%2\"}").arg(i).arg(QString(padding)).toUtf8());
            // The reader keeps up, as a browser does: never more than a few behind.
            while (i % 16 == 15 && got.count("data: ") < i + 2 && clock.elapsed() < 20000) {
                reader.socket.waitForReadyRead(100);
                got += reader.socket.readAll();
            }
        }
        QTRY_VERIFY_WITH_TIMEOUT((got += reader.socket.readAll()).count("data: ") == 3001 && got.endsWith("\n\n\r\n"), 10000);
        const QList<QJsonObject> seen = messages(got);
        QCOMPARE(seen.value(0).value("event").toString(), "snapshot");
        QCOMPARE(seen.size(), 3001);
        QCOMPARE(seen.last().value("n").toInt(), 2999);
        // The stalled one is closed once it has moved nothing for a while.
        QTRY_COMPARE_WITH_TIMEOUT(server.streamCount(), 1, 5000);
        stalled.readAll(2000); // what its window held, then the end
        QCOMPARE(stalled.socket.state(), QAbstractSocket::UnconnectedState);
    }

    // A running station: its board carries what --json prints.
    void station()
    {
        QTemporaryDir dir;
        const QString image = dir.filePath("fw.bin"), slot = dir.filePath("slot");
        QVERIFY(writeFile(image, randomBytes(6000, 3)));
        Peer station(QIVO_CLI, {"--watch", "--json", "--http", "127.0.0.1:0", "-p", slot, image});
        QByteArray said;
        QTRY_VERIFY((said += station.process.readAllStandardError()).contains("board at "));
        const quint16 port = quint16(said.mid(said.lastIndexOf(':') + 1).trimmed().chopped(1).toUInt());
        QVERIFY(port > 0);

        Client events(port, get("/events"));
        QTRY_VERIFY(events.socket.bytesAvailable() > 0);
        Sim unit({"--once", "--in-boot-loader", "--link", slot});
        QCOMPARE(unit.exitCode(20000), 0);
        QTRY_VERIFY(std::any_of(station.lines.begin(), station.lines.end(),
                                [](const Peer::Line &l) { return l.text.contains("\"event\":\"left\""); }));
        const QList<QJsonObject> streamed = messages(events.readAll(500));
        QCOMPARE(streamed.value(0).value("event").toString(), "snapshot");
        QList<QJsonObject> printed;
        for (const Peer::Line &line : station.lines)
            printed << QJsonDocument::fromJson(line.text).object();
        QCOMPARE(streamed.mid(1), printed);
        QStringList kinds;
        for (const QJsonObject &o : printed)
            kinds << o.value("event").toString();
        QCOMPARE(kinds.join(' '), "appeared state state state progress progress progress progress progress progress result left");

        // /status: the slot waiting again, the unit counted, the image named.
        const QByteArray status = Client(port, get("/status")).readAll(500);
        const QJsonObject snapshot = QJsonDocument::fromJson(body(status)).object();
        QCOMPARE(snapshot.value("summary").toObject().value("first_pass").toInt(), 1);
        QCOMPARE(snapshot.value("image").toObject().value("sha256").toString().toUtf8(), sha256(readFile(image)));
        const QJsonArray tiles = snapshot.value("tiles").toArray();
        QCOMPARE(tiles.size(), 1);
        QCOMPARE(tiles[0].toObject().value("state").toString(), "waiting");

        const QByteArray metrics = Client(port, get("/metrics")).readAll(500);
        QVERIFY(metrics.contains("\nqivo_dfu_attempts_total{outcome=\"success\"} 1\n"));
        QVERIFY(metrics.contains("\nqivo_dfu_bytes_sent_total 6000\n"));
    }
};

QTEST_GUILESS_MAIN(TstBoard)
#include "tst_board.moc"
