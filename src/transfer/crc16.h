#pragma once

#include <QByteArrayView>
#include <QtGlobal>

// The two checks an XMODEM block may carry: the CRC-16 of CCITT (polynomial 0x1021, starting at
// 0, as XMODEM-CRC and YMODEM use it), and the old one-byte arithmetic sum.
namespace Crc16 {

quint16 of(QByteArrayView bytes);
quint8 checksum(QByteArrayView bytes);

} // namespace Crc16
