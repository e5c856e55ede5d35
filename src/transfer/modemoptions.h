#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// How a file goes over the line: as its bytes alone (raw, the default), or in the blocks of
// XMODEM (128 bytes, a checksum or a CRC-16 as the receiver asks), XMODEM-1K (1024 bytes, CRC)
// or YMODEM (a header with the file's name and size, then 1024-byte blocks).
enum class TransferProtocol
{
    Raw,
    Xmodem,
    Xmodem1k,
    Ymodem,
};

// The protocol and the patience of an XMODEM or YMODEM transfer.
struct ModemOptions
{
    static constexpr int defaultStartTimeoutMs = 60'000;
    static constexpr int defaultBlockTimeoutMs = 10'000;
    static constexpr int defaultRetries = 10;

    TransferProtocol protocol = TransferProtocol::Xmodem;
    // How long the far end may take to begin: a sender waits this long for the receiver's first
    // call, a receiver for the first block.
    int startTimeoutMs = defaultStartTimeoutMs;
    // How long an answer or the rest of a block may take before it is asked for again.
    int blockTimeoutMs = defaultBlockTimeoutMs;
    // How many times one block is tried again before the transfer is given up.
    int retries = defaultRetries;

    // "raw", "xmodem", "xmodem-1k", "ymodem": the names the command line takes.
    static QString name(TransferProtocol protocol);
    // "Raw", "XMODEM", "XMODEM-1K", "YMODEM": the names the window shows.
    static QString title(TransferProtocol protocol);
    static std::optional<TransferProtocol> fromName(const QString& name);
    static QStringList names();
    // A timeout as messages give it: "10 s", "0.3 s".
    static QString seconds(int ms);
};
