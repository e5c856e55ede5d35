#include "platform/linesettings.h"

#include <QCoreApplication>
#include <QStringList>

#include <algorithm>
#include <cmath>

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("LineSettings", text);
}

std::optional<LineSettings::Parity> parityOf(const QString& letter)
{
    static const QString letters = QStringLiteral("NEOMS");
    if (letter.size() != 1)
        return std::nullopt;
    const qsizetype index = letters.indexOf(letter.at(0).toUpper());
    if (index < 0)
        return std::nullopt;
    return static_cast<LineSettings::Parity>(index);
}

} // namespace

std::optional<LineSettings> LineSettings::parse(const QString& text, QString* error)
{
    const auto fail = [&](const QString& why) -> std::optional<LineSettings> {
        if (error)
            *error = tr("The line settings \"%1\" are not valid: %2").arg(text, why);
        return std::nullopt;
    };
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 4)
        return fail(tr("expected speed,parity,data bits,stop bits."));

    LineSettings line;
    bool ok = false;
    const qint64 speed = parts[0].trimmed().toLongLong(&ok);
    if (!ok || speed < lowestSpeed || speed > highestSpeed)
        return fail(tr("the speed must be a whole number of bits per second from %1 to %2.")
                        .arg(lowestSpeed)
                        .arg(highestSpeed));
    line.speed = static_cast<qint32>(speed);

    const std::optional<Parity> parity = parityOf(parts[1].trimmed());
    if (!parity)
        return fail(tr("the parity must be N, E, O, M or S."));
    line.parity = *parity;

    line.dataBits = parts[2].trimmed().toInt(&ok);
    if (!ok || line.dataBits < 5 || line.dataBits > 8)
        return fail(tr("the data bits must be 5, 6, 7 or 8."));

    const QString stop = parts[3].trimmed();
    if (stop == QLatin1String("1"))
        line.stopBits = StopBits::One;
    else if (stop == QLatin1String("1.5"))
        line.stopBits = StopBits::OneAndHalf;
    else if (stop == QLatin1String("2"))
        line.stopBits = StopBits::Two;
    else
        return fail(tr("the stop bits must be 1, 1.5 or 2."));
    return line;
}

QString LineSettings::plain(qint32 speed)
{
    return QStringLiteral("%1,N,8,1").arg(speed);
}

std::optional<LineSettings::Flow> LineSettings::flowNamed(const QString& name)
{
    for (const Flow flow : {Flow::None, Flow::RtsCts, Flow::XonXoff}) {
        if (name == flowName(flow))
            return flow;
    }
    return std::nullopt;
}

QString LineSettings::flowName(Flow flow)
{
    switch (flow) {
    case Flow::RtsCts:
        return QStringLiteral("rtscts");
    case Flow::XonXoff:
        return QStringLiteral("xonxoff");
    case Flow::None:
        break;
    }
    return QStringLiteral("none");
}

double LineSettings::bitsPerCharacter() const
{
    const double stop =
        stopBits == StopBits::One ? 1 : (stopBits == StopBits::OneAndHalf ? 1.5 : 2);
    return 1 + dataBits + (parity == Parity::None ? 0 : 1) + stop;
}

qint64 LineSettings::characterMicros() const
{
    return std::max<qint64>(1, std::llround(bitsPerCharacter() * 1e6 / speed));
}

double LineSettings::charactersPerSecond() const
{
    return speed / bitsPerCharacter();
}
