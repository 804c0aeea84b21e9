#ifndef BOOTPREAMBLE_H
#define BOOTPREAMBLE_H

// The three AT command lines that restart a QIVO device into its boot
// loader, in order, with the rate each goes out at and the wait after it.
// The window and the command-line flasher both send exactly these; no reply
// is read.
#include "serialline.h"

namespace BootPreamble {

// The rate of the last line and of the YMODEM transfer, whatever the user
// chose for the first two lines.
constexpr int TransferBaudRate = SerialLine::TransferBaudRate;

struct Step
{
    const char *line;
    int length;        // bytes of `line` to send; no terminating zero goes out
    bool transferRate; // switch the port to TransferBaudRate before this line
    int waitMs;        // wait after writing it
};

constexpr Step Steps[] = {
    {"at+version\r\n", 12, false, 1000},
    {"at+boot\r\n", 9, false, 500},
    {"at+update\r\n", 11, true, 500},
};

} // namespace BootPreamble

#endif // BOOTPREAMBLE_H
