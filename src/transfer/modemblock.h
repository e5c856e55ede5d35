#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// One block of XMODEM and YMODEM on the line: SOH (128 bytes of data) or STX (1024), the block
// number and its complement, the data, and the check: a CRC-16, high byte first, or a one-byte
// sum. The control bytes around the blocks are here too.
namespace ModemBlock {

constexpr char SOH = 0x01;
constexpr char STX = 0x02;
constexpr char EOT = 0x04;
constexpr char ACK = 0x06;
constexpr char BS = 0x08;
constexpr char NAK = 0x15;
constexpr char CAN = 0x18;
constexpr char SUB = 0x1A; // CP/M's end of file: XMODEM pads a last block with it
constexpr char CRC = 'C';  // a receiver's call for blocks with a CRC-16

constexpr int smallSize = 128;
constexpr int largeSize = 1024;

// What a cancel puts on the line: several CANs, as one can be lost or taken for noise, then
// backspaces that erase them again where the far end was a command prompt all along.
QByteArray cancelSequence();

// The block `number` (its low 8 bits go on the line) of `size` data bytes: `data`, then `pad`
// up to the size.
QByteArray frame(quint8 number, QByteArrayView data, int size, bool crc, char pad);

// The bytes a block takes on the line.
int frameLength(char start, bool crc);

struct Parsed
{
    enum class Status
    {
        Incomplete, // more bytes are due
        Good,
        Bad, // the number's complement or the check is wrong
    };
    Status status = Status::Incomplete;
    quint8 number = 0;
    QByteArrayView data; // a view into the bytes parsed
    QString why;         // for a bad block
};

// Reads the block that `bytes` begins with (its first byte SOH or STX).
Parsed parse(QByteArrayView bytes, bool crc);

} // namespace ModemBlock
