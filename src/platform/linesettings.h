#pragma once

#include <QString>

#include <optional>

// How a serial line runs: speed, parity, data bits and stop bits, as the settings string
// "speed,parity,data bits,stop bits" ("9600,N,8,1") gives them, and the flow control, which that
// string does not name and is set on its own. A value, usable without a port.
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

    // Who holds back whom: nobody, the RTS and CTS wires, or the XON (0x11) and XOFF (0x13)
    // characters in the data.
    enum class Flow
    {
        None,
        RtsCts,
        XonXoff,
    };

    static constexpr qint32 lowestSpeed = 50;
    // The fastest USB adapters (FT232H, FT2232H) run at 12 Mbaud; a device that cannot says so
    // when the port opens.
    static constexpr qint32 highestSpeed = 12'000'000;
    static constexpr char xon = 0x11;
    static constexpr char xoff = 0x13;

    qint32 speed = 9600;
    Parity parity = Parity::None;
    int dataBits = 8;
    StopBits stopBits = StopBits::One;
    Flow flow = Flow::None;

    // The settings the text names; nothing, with the reason, when it names none.
    static std::optional<LineSettings> parse(const QString& text, QString* error = nullptr);
    // "speed,N,8,1": the line at `speed` with no parity, 8 data bits and 1 stop bit.
    static QString plain(qint32 speed);

    // "none", "rtscts" or "xonxoff", and back; nothing for any other name.
    static std::optional<Flow> flowNamed(const QString& name);
    static QString flowName(Flow flow);

    // Bits on the line per character: start, data, parity and stop bits.
    double bitsPerCharacter() const;
    // How long one character takes on the line, in microseconds (at least 1).
    qint64 characterMicros() const;
    // Characters the line carries per second.
    double charactersPerSecond() const;

    friend bool operator==(const LineSettings&, const LineSettings&) = default;
};
