#include "transfer/modemblock.h"

#include "transfer/crc16.h"

#include <QCoreApplication>

QByteArray ModemBlock::cancelSequence()
{
    return QByteArray(8, CAN) + QByteArray(8, BS);
}

QByteArray ModemBlock::frame(quint8 number, QByteArrayView data, int size, bool crc, char pad)
{
    QByteArray block;
    block.reserve(size + 5);
    block.append(size == largeSize ? STX : SOH);
    block.append(char(number));
    block.append(char(0xFF - number));
    block.append(data.data(), qMin<qsizetype>(data.size(), size));
    block.append(size + 3 - block.size(), pad);
    const QByteArrayView body = QByteArrayView(block).sliced(3, size);
    if (crc) {
        const quint16 check = Crc16::of(body);
        block.append(char(check >> 8));
        block.append(char(check & 0xFF));
    } else {
        block.append(char(Crc16::checksum(body)));
    }
    return block;
}

int ModemBlock::frameLength(char start, bool crc)
{
    return 3 + (start == STX ? largeSize : smallSize) + (crc ? 2 : 1);
}

ModemBlock::Parsed ModemBlock::parse(QByteArrayView bytes, bool crc)
{
    Parsed parsed;
    const int length = frameLength(bytes.front(), crc);
    if (bytes.size() < length)
        return parsed;
    const int size = length - 3 - (crc ? 2 : 1);
    parsed.number = quint8(bytes[1]);
    parsed.data = bytes.sliced(3, size);
    const auto tr = [](const char* text) {
        return QCoreApplication::translate("ModemBlock", text);
    };
    if (quint8(bytes[2]) != quint8(0xFF - parsed.number)) {
        parsed.status = Parsed::Status::Bad;
        parsed.why = tr("its number and the number's complement disagree");
        return parsed;
    }
    const bool checked =
        crc ? Crc16::of(parsed.data) == ((quint8(bytes[3 + size]) << 8) | quint8(bytes[4 + size]))
            : Crc16::checksum(parsed.data) == quint8(bytes[3 + size]);
    parsed.status = checked ? Parsed::Status::Good : Parsed::Status::Bad;
    if (!checked)
        parsed.why = crc ? tr("its CRC is wrong") : tr("its checksum is wrong");
    return parsed;
}
