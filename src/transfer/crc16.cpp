#include "transfer/crc16.h"

#include <array>

namespace {

constexpr std::array<quint16, 256> makeTable()
{
    std::array<quint16, 256> table{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        unsigned crc = byte << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
        table[byte] = quint16(crc);
    }
    return table;
}

constexpr std::array<quint16, 256> table = makeTable();

} // namespace

quint16 Crc16::of(QByteArrayView bytes)
{
    quint16 crc = 0;
    for (const char c : bytes)
        crc = quint16((crc << 8) ^ table[((crc >> 8) ^ quint8(c)) & 0xFF]);
    return crc;
}

quint8 Crc16::checksum(QByteArrayView bytes)
{
    unsigned sum = 0;
    for (const char c : bytes)
        sum += quint8(c);
    return quint8(sum);
}
