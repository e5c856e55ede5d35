#pragma once

#include <QString>

#include <optional>

// How a serial line runs: speed, parity, data bits and stop bits, as the settings string
// "speed,parity,data bits,stop bits" ("9600,N,8,1") gives them. A value, usable without a port.
struct LineSettings
{
    enum class Parity
    {
        None,
        Even,
        Odd,
        Mark,
        Space,
    };
    enum class StopBits
    {
        One,
        OneAndHalf,
        Two,
    };

    static constexpr qint32 lowestSpeed = 50;
    static constexpr qint32 highestSpeed = 4'000'000;

    qint32 speed = 9600;
    Parity parity = Parity::None;
    int dataBits = 8;
    StopBits stopBits = StopBits::One;

    // The settings the text names; nothing, with the reason, when it names none.
    static std::optional<LineSettings> parse(const QString& text, QString* error = nullptr);
    // "speed,N,8,1": the line at `speed` with no parity, 8 data bits and 1 stop bit.
    static QString plain(qint32 speed);

    // Bits on the line per character: start, data, parity and stop bits.
    double bitsPerCharacter() const;
    // How long one character takes on the line, in microseconds (at least 1).
    qint64 characterMicros() const;
    // Characters the line carries per second.
    double charactersPerSecond() const;

    friend bool operator==(const LineSettings&, const LineSettings&) = default;
};
