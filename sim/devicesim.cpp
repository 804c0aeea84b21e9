#include "devicesim.h"
#include "ptyline.h"

#include "bootpreamble.h"
#include "incomingfile.h"
#include "serialline.h"
#include "simreport.h"

#include <QCryptographicHash>
#include <QFile>
#include <QTimer>

#include <climits>
#include <cstdio>

namespace {

using SimReport::say;

// Replies carry none of the bytes the tool's sender would take for a
// control byte ('C', 'A', 'a', CAN), should one be left in its input.
const char kOk[] = "OK\r\n";
const char kError[] = "ERROR\r\n";

// What the module's AT parser takes, byte for byte: it needs the carriage
// return, and at+update is heard at the boot loader's rate. Written out
// here rather than taken from the tool's preamble, which it checks.
struct Command
{
    const char *bytes;
    bool transferRate;
};
const Command kCommands[] = {
    {"at+version\r\n", false},
    {"at+boot\r\n", false},
    {"at+update\r\n", true},
};

} // namespace

DeviceSim::DeviceSim(const Options &options, PtyLine *line, QObject *parent)
    : QObject(parent), Ymodem(SerialLine::TimeDivide, SerialLine::TimeMax, SerialLine::ErrorMax), options(options),
      line(line), tick(new QTimer(this)), file(new IncomingFile)
{
    connect(line, &PtyLine::bytesArrived, this, &DeviceSim::lineActive);
    connect(tick, &QTimer::timeout, this, &DeviceSim::step);
    // Once the event loop runs: after the port has been reported.
    if (options.inBootLoader)
        QTimer::singleShot(0, this, &DeviceSim::enterBootLoader);
}

DeviceSim::~DeviceSim() = default;

void DeviceSim::lineActive()
{
    if (mode == Commands) {
        collectCommands();
    } else if (mode == Restarting) {
        line->discardArrived();
    } else {
        // A whole frame or control byte is stepped at once rather than on
        // the next tick: a paced line would otherwise lose up to a tick per
        // block.
        int missing = 0;
        for (int guard = 0; guard < 16 && mode == BootLoader && unitArrived(&missing); ++guard)
            step();
        if (mode == BootLoader && missing > 0)
            line->notifyWhenArrived(line->arrived() + missing);
        return;
    }
    line->notifyWhenArrived(INT_MAX);
}

void DeviceSim::step()
{
    receive();
    if (injectEot)
        receive();
}

bool DeviceSim::unitArrived(int *missing) const
{
    const int have = line->arrived();
    int need = 1;
    if (packetState == CodeSoh || packetState == CodeStx) {
        need = int((packetState == CodeSoh ? FrameSizeSoh : FrameSizeStx) - receiveLength);
    } else if (have > 0) {
        const int head = line->peek(0);
        need = head == CodeSoh ? int(FrameSizeSoh) : head == CodeStx ? int(FrameSizeStx) : 1;
    }
    *missing = qMax(0, need - have);
    return have >= need;
}

// A module's parser starts a new line after junk: what a transfer left on
// the line (a cancel's CAN bytes, the rest of a frame) must not swallow the
// next command.
void DeviceSim::collectCommands()
{
    unsigned char c = 0;
    int baud = 0;
    while (line->take(&c, 1, &baud) == 1) {
        if (options.silent || mode != Commands)
            continue;
        if ((c < 0x20 || c > 0x7E) && c != '\r' && c != '\n') {
            pendingLine.clear();
            continue;
        }
        if (pendingLine.size() < 256)
            pendingLine.append(char(c));
        if (c == '\n') {
            command(pendingLine, baud);
            pendingLine.clear();
        }
    }
}

// Each line of the tool's preamble must arrive at the rate it goes out at:
// the first ones at the user's rate, at+update at the boot loader's. A real
// module listening at another rate would hear noise.
void DeviceSim::command(const QByteArray &bytes, int baud)
{
    // Junk has been dropped as it came; a carriage return inside the line
    // still makes no command, and no report.
    const QByteArray text = bytes.trimmed();
    for (const char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E)
            return;
    say(SimReport::line(text, baud));

    const int count = int(sizeof kCommands / sizeof kCommands[0]);
    int index = 0;
    while (index < count && kCommands[index].bytes != bytes)
        ++index;
    if (index == count) {
        line->send(reinterpret_cast<const unsigned char *>(kError), int(sizeof kError - 1));
        return;
    }

    const int expected = kCommands[index].transferRate ? BootPreamble::TransferBaudRate : options.baud;
    if (baud != expected) {
        ++rateErrors;
        std::fprintf(stderr, "qivo-device-sim: error: %s arrived at %d baud, expected %d\n",
                     text.constData(), baud, expected);
        std::fflush(stderr);
    }
    line->send(reinterpret_cast<const unsigned char *>(kOk), int(sizeof kOk - 1));

    if (index == count - 1 && !options.noBoot) {
        mode = Restarting;
        say(SimReport::restarting(options.bootMs));
        QTimer::singleShot(options.bootMs, this, &DeviceSim::enterBootLoader);
    }
}

void DeviceSim::enterBootLoader()
{
    mode = BootLoader;
    file = std::make_unique<IncomingFile>();
    blocks = 0;
    ended = false;
    eotSeen = false;
    injectEot = false;
    dropNak = false;
    line->discardArrived();
    line->setNoiseEnabled(true);
    say(SimReport::bootLoaderReady());
    tick->start(10);
    step();
}

Ymodem::Code DeviceSim::callback(Status status, unsigned char *buff, unsigned int *len)
{
    switch (status) {
    case StatusEstablish:
        return openFile(buff);
    case StatusTransmit:
        return storeBlock(buff, *len);
    case StatusFinish:
        end(file->finish() ? "stored" : "failed");
        return CodeAck;
    case StatusAbort:
        end("cancelled");
        return CodeCan;
    case StatusTimeout:
        end("timeout");
        return CodeCan;
    default:
        end("failed");
        return CodeCan;
    }
}

// Stored as the tool's own receiver stores: a partial image never takes a
// name, so a test that finds one in the folder finds a whole one.
Ymodem::Code DeviceSim::openFile(const unsigned char *block)
{
    if (!file->begin(options.dir, block)) {
        end("failed");
        return CodeCan;
    }
    transferClock.start();
    const qint64 size = file->sizeKnown() && file->size() <= quint64(LLONG_MAX) ? qint64(file->size()) : -1;
    say(SimReport::receiving(file->name(), size));
    return CodeAck;
}

Ymodem::Code DeviceSim::storeBlock(const unsigned char *buff, unsigned int len)
{
    ++blocks;
    if (options.cancelAfter >= 0 && blocks > options.cancelAfter) {
        end("cancelled");
        return CodeCan;
    }
    if (!file->store(buff, len)) {
        end("failed");
        return CodeCan;
    }
    return CodeAck;
}

void DeviceSim::end(const QString &outcome)
{
    if (ended)
        return;
    ended = true;
    tick->stop();
    mode = Commands;
    line->setNoiseEnabled(false);

    const QString fileName = file->name();
    // Whatever did not end stored leaves nothing.
    file->discard();
    const bool stored = outcome == "stored";
    if (stored) {
        QFile image(options.dir + '/' + fileName);
        QCryptographicHash sha(QCryptographicHash::Sha256);
        if (image.open(QFile::ReadOnly))
            sha.addData(&image);
        say(SimReport::stored(fileName, image.size(), sha.result().toHex(),
                              double(transferClock.nsecsElapsed()) / 1e9));
    } else {
        say(SimReport::ended(outcome, fileName, qint64(file->stored())));
    }

    if (options.once) {
        const int code = stored && rateErrors == 0 ? 0 : 1;
        // Let the last reply or the cancel bytes leave first.
        auto *drain = new QTimer(this);
        connect(drain, &QTimer::timeout, this, [this, drain, code] {
            if (line->sending())
                return;
            drain->stop();
            emit done(code);
        });
        drain->start(5);
    }
}

uint32_t DeviceSim::read(unsigned char *buff, unsigned int len)
{
    if (injectEot && len > 0) {
        injectEot = false;
        buff[0] = CodeEot;
        return 1;
    }
    const int got = line->take(buff, int(qMin<unsigned int>(len, INT_MAX)));
    // Answering the first EOT with ACK is the engine's answer to the second
    // one, so the first is handed to it twice and its NAK is held back.
    if (options.eotAckFirst && !eotSeen && buff == receiveBuffer && got == 1 && buff[0] == CodeEot
        && (stage == StageEstablished || stage == StageTransmitting) && packetState == CodeNone) {
        eotSeen = true;
        injectEot = true;
        dropNak = true;
    }
    return uint32_t(got);
}

uint32_t DeviceSim::write(unsigned char *buff, unsigned int len)
{
    // The engine has taken the block; the module's flash has not. The
    // repeats the engine acknowledges as repeats, so each answer stays a NAK.
    if (options.nakAfter >= 0 && blocks > options.nakAfter && len == 1 && buff[0] == CodeAck) {
        const unsigned char nak = CodeNak;
        line->send(&nak, 1);
        return len;
    }
    if (dropNak && len == 1 && buff[0] == CodeNak) {
        dropNak = false;
        return len;
    }
    line->send(buff, int(len));
    return len;
}
