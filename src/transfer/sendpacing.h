#pragma once

#include <QByteArray>
#include <QtGlobal>

// How a raw send paces itself for a device that reads slower than the line delivers and has no
// flow control: a pause after each character, a pause after each line (a line ends with '\n',
// sent as it is in the file), and waiting after each line for the text the device sends when it
// is ready again (a prompt such as ">"), up to a time limit.
struct SendPacing
{
    qint64 charDelayMs = 0;
    qint64 lineDelayMs = 0;
    QByteArray waitFor;
    qint64 waitTimeoutMs = 10'000;

    bool isPaced() const { return charDelayMs > 0 || lineDelayMs > 0 || !waitFor.isEmpty(); }

    friend bool operator==(const SendPacing&, const SendPacing&) = default;
};
