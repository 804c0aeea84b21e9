#include "board.h"

#include "boardserver.h"
#include "firmwareimage.h"
#include "usbport.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include <arpa/inet.h>
#include <iterator>

namespace {

const double kDurationBounds[] = {1, 2, 5, 10, 20, 30, 45, 60, 90, 120, 300};
const char *const kOutcomes[] = {"success", "failed", "timeout", "port-error", "cancelled"};
const char *const kReasons[] = {"line-lost",     "image-changed",   "device-cancelled", "no-boot-loader", "port-missing",
                                "port-permission", "port-busy",      "transfer-failed",  "other"};

qint64 now()
{
    return QDateTime::currentMSecsSinceEpoch();
}

// A label value as the text format wants it.
QByteArray quoted(const QString &value)
{
    QByteArray out = value.toUtf8();
    out.replace('\\', "\\\\").replace('"', "\\\"").replace('\n', "\\n");
    return '"' + out + '"';
}

QByteArray resource(const QString &name)
{
    QFile f(":/board/" + name);
    return f.open(QFile::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

Board::Board(const FirmwareImage &image, const QString &file, bool station, const QStringList &watched,
             std::function<QJsonObject()> tally)
    : image(image), file(file), station(station), slotOrder(watched), tally(std::move(tally)), started(now()),
      durationBuckets(int(std::size(kDurationBounds)) + 1, 0)
{
    for (const QString &slot : watched)
        tile(slot, slot);
}

Board::~Board() = default;

bool Board::serve(const QString &address, QString *error)
{
    QString host;
    quint16 port = 0;
    if (!parseAddress(address, &host, &port)) {
        *error = QString("--http %1: expected [ADDRESS:]PORT").arg(address);
        return false;
    }
    server = std::make_unique<BoardServer>();
    server->addFile("/", resource("index.html"), "text/html; charset=utf-8");
    server->addFile("/board.js", resource("board.js"), "text/javascript; charset=utf-8");
    server->addFile("/board.css", resource("board.css"), "text/css; charset=utf-8");
    if (!server->start(host, port, error)) {
        server.reset();
        return false;
    }
    servedAt = QString(host.contains(':') ? "http://[%1]:%2/" : "http://%1:%2/").arg(host).arg(server->port());
    update();
    return true;
}

quint16 Board::port() const
{
    return server ? server->port() : 0;
}

Board::Tile &Board::tile(const QString &slot, const QString &port)
{
    auto it = byPort.find(port);
    if (it == byPort.end()) {
        it = byPort.insert(port, Tile());
        it->slot = slot;
        it->port = port;
        it->since = now();
        order << port;
    }
    return *it;
}

void Board::event(const QJsonObject &event)
{
    const QString kind = event.value("event").toString();
    const QString slot = event.value("slot").toString(), port = event.value("port").toString();
    const qint64 at = now();
    if (kind == "appeared") {
        Tile &t = tile(slot, port);
        t.unit = event.value("unit").toString();
    } else if (kind == "state") {
        Tile &t = tile(slot.isEmpty() ? port : slot, port);
        t.state = event.value("state").toString();
        t.since = at;
        t.unit = event.value("unit").toString(t.unit);
        t.attempt = event.value("attempt").toInt(t.attempt);
        if (t.state == "preamble" || t.state == "booting") {
            t.percent = 0;
            t.bytes = 0;
            t.rate = 0;
            t.error.clear();
        }
    } else if (kind == "progress") {
        Tile &t = tile(slot.isEmpty() ? port : slot, port);
        if (t.state != "flashing")
            t.since = at;
        t.state = "flashing";
        t.percent = event.value("percent").toInt();
        t.bytes = qint64(event.value("bytes").toDouble());
        t.rate = event.value("rate").toDouble();
    } else if (kind == "result") {
        Tile &t = tile(slot.isEmpty() ? port : slot, port);
        const QString outcome = event.value("outcome").toString();
        t.state = outcome;
        t.since = at;
        t.bytes = qint64(event.value("bytes").toDouble());
        t.error = event.value("error").toString();
        t.attempt = event.value("attempt").toInt(t.attempt);
        t.unit = event.value("unit").toString(t.unit);
        if (outcome == "success")
            t.percent = 100;
        ++attempts[outcome];
        // A cancel the operator asked for is no failure of the unit.
        if (outcome != "success" && !(outcome == "cancelled" && t.error.isEmpty()))
            ++failures[reasonOf(t.error)];
        bytesSent += t.bytes;
        const double seconds = event.value("seconds").toDouble();
        int bucket = 0;
        while (bucket < int(std::size(kDurationBounds)) && seconds > kDurationBounds[bucket])
            ++bucket;
        ++durationBuckets[bucket];
        durationSum += seconds;
        ++durationCount;
    } else if (kind == "left") {
        if (port != slot && !slotOrder.contains(port)) {
            // A port of a usb: family is no slot of its own: its tile goes.
            byPort.remove(port);
            order.removeAll(port);
        } else {
            Tile &t = tile(slot, port);
            t = Tile{t.slot, t.port, "waiting", at, {}, 0, 0, 0, 0, {}};
        }
    } else if (kind == "misconfigured") {
        Tile &t = tile(slot, slot);
        t.state = "misconfigured";
        t.since = at;
        t.error = event.value("error").toString();
    }
    if (server)
        server->publish(QJsonDocument(event).toJson(QJsonDocument::Compact));
    update();
}

void Board::update()
{
    if (!server)
        return;
    server->setSnapshot(QJsonDocument(snapshot()).toJson(QJsonDocument::Compact));
    server->setMetrics(metrics());
}

QList<Board::Tile> Board::tiles() const
{
    QList<Tile> list;
    for (const QString &port : order)
        list << byPort.value(port);
    return list;
}

QJsonObject Board::snapshot() const
{
    QJsonArray tileArray;
    int busy = 0;
    for (const Tile &t : tiles()) {
        QJsonObject o{{"slot", t.slot}, {"port", t.port}, {"state", t.state}, {"since", double(t.since)},
                      {"percent", t.percent}, {"bytes", double(t.bytes)}};
        if (!t.unit.isEmpty())
            o.insert("unit", t.unit);
        if (t.attempt > 0)
            o.insert("attempt", t.attempt);
        if (t.state == "flashing")
            o.insert("rate", qRound(t.rate * 10) / 10.0);
        if (!t.error.isEmpty())
            o.insert("error", t.error);
        tileArray << o;
        busy += t.state == "preamble" || t.state == "booting" || t.state == "flashing";
    }
    QJsonObject summary = tally();
    summary.insert("busy", busy);
    return {{"event", "snapshot"},
            {"version", QT_STRINGIFY(QIVO_VERSION)},
            {"mode", station ? "station" : "once"},
            {"now", double(now())},
            {"started", double(started)},
            {"image", QJsonObject{{"file", file},
                                  {"name", QFile::decodeName(image.name())},
                                  {"size", double(image.size())},
                                  {"sha256", QString::fromLatin1(image.sha256())}}},
            {"summary", summary},
            {"tiles", tileArray}};
}

QByteArray Board::metrics() const
{
    QByteArray out;
    const auto head = [&out](const char *name, const char *type, const char *help) {
        out += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
    };
    const auto line = [&out](const QByteArray &name, double value) {
        out += name + ' ' + QByteArray::number(value, 'g', 15) + '\n';
    };
    const QJsonObject counts = tally();
    int slotCount = 0, busy = 0;
    for (const Tile &t : tiles()) {
        slotCount += slotOrder.contains(t.port);
        busy += t.state == "preamble" || t.state == "booting" || t.state == "flashing";
    }
    head("qivo_dfu_info", "gauge", "The flasher's version.");
    line("qivo_dfu_info{version=" + quoted(QT_STRINGIFY(QIVO_VERSION)) + '}', 1);
    head("qivo_dfu_image_info", "gauge", "The image this flasher sends.");
    line("qivo_dfu_image_info{name=" + quoted(QFile::decodeName(image.name())) + ",sha256="
             + quoted(QString::fromLatin1(image.sha256())) + ",size=" + quoted(QString::number(image.size())) + '}',
         1);
    head("qivo_dfu_slots", "gauge", "Slots watched, or ports of a one-shot run.");
    line("qivo_dfu_slots", slotCount);
    head("qivo_dfu_slots_busy", "gauge", "Units in their boot preamble or transfer.");
    line("qivo_dfu_slots_busy", busy);
    head("qivo_dfu_units_total", "counter", "Units seen.");
    line("qivo_dfu_units_total", counts.value("units").toInt());
    head("qivo_dfu_units_finished_total", "counter", "Units by their final result, counted when they leave.");
    for (const char *result : {"first_pass", "after_retries", "failed", "cancelled"})
        line(QByteArray("qivo_dfu_units_finished_total{result=\"") + result + "\"}", counts.value(result).toInt());
    head("qivo_dfu_attempts_total", "counter", "Attempts by outcome.");
    for (const char *outcome : kOutcomes)
        line(QByteArray("qivo_dfu_attempts_total{outcome=\"") + outcome + "\"}", double(attempts.value(outcome)));
    head("qivo_dfu_failures_total", "counter", "Attempts that did not succeed, by reason.");
    for (const char *reason : kReasons)
        line(QByteArray("qivo_dfu_failures_total{reason=\"") + reason + "\"}", double(failures.value(reason)));
    head("qivo_dfu_bytes_sent_total", "counter", "Bytes of the image the devices acknowledged.");
    line("qivo_dfu_bytes_sent_total", double(bytesSent));
    head("qivo_dfu_attempt_duration_seconds", "histogram", "How long attempts took, preamble included.");
    qint64 cumulative = 0;
    for (int i = 0; i < durationBuckets.size(); ++i) {
        cumulative += durationBuckets[i];
        const QByteArray bound = i < int(std::size(kDurationBounds)) ? QByteArray::number(kDurationBounds[i]) : "+Inf";
        line("qivo_dfu_attempt_duration_seconds_bucket{le=\"" + bound + "\"}", double(cumulative));
    }
    line("qivo_dfu_attempt_duration_seconds_sum", durationSum);
    line("qivo_dfu_attempt_duration_seconds_count", double(durationCount));
    return out;
}

bool Board::parseAddress(const QString &given, QString *host, quint16 *port)
{
    const int colon = given.lastIndexOf(':');
    *host = colon > 0 ? given.left(colon) : QString("127.0.0.1");
    if (host->startsWith('[') && host->endsWith(']'))
        *host = host->mid(1, host->size() - 2);
    bool ok = false;
    const uint number = given.mid(colon + 1).toUInt(&ok);
    *port = quint16(number);
    in6_addr any {};
    const QByteArray text = host->toLatin1();
    return ok && number <= 65535
           && (::inet_pton(AF_INET, text.constData(), &any) == 1 || ::inet_pton(AF_INET6, text.constData(), &any) == 1);
}

QString Board::reasonOf(const QString &error)
{
    static const struct
    {
        const char *words;
        const char *reason;
    } known[] = {
        {"the line was lost", "line-lost"},
        {"changed on disk", "image-changed"},
        {"the device cancelled", "device-cancelled"},
        {"never asked for the file", "no-boot-loader"},
        {"missing: no such device", "port-missing"},
        {"no permission", "port-permission"},
        {"busy or not usable", "port-busy"},
        {"the transfer failed", "transfer-failed"},
    };
    for (const auto &k : known)
        if (error.contains(k.words))
            return k.reason;
    return "other";
}
