#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QString>

#include <optional>

// The driver's latency while a protocol transfer runs: many USB adapters gather received bytes
// for a while (an FTDI chip 16 ms by default) before handing them over, which costs every
// block-and-answer round trip that much. Asked for low latency, the driver hands bytes over at
// once: through the serial flag ASYNC_LOW_LATENCY (TIOCGSERIAL/TIOCSSERIAL; ftdi_sio then sets
// its timer to 1 ms) and through FTDI's "latency_timer" in sysfs (writable by root, or where a
// udev rule allows). What was changed is put back by `restore` or when the object goes.
class LowLatency
{
    Q_DECLARE_TR_FUNCTIONS(LowLatency)

public:
    LowLatency() = default;
    ~LowLatency() { restore(); }
    LowLatency(const LowLatency&) = delete;
    LowLatency& operator=(const LowLatency&) = delete;

    // Asks the driver of the open terminal `fd`, named `devicePath` (any name that resolves to
    // it), for low latency. True when the device now runs with it (also when it already did);
    // false, with the reason and nothing changed, when the driver offers neither setting or
    // refuses both.
    bool request(int fd, const QString& devicePath, QString* why);
    // Puts back what `request` changed, while `fd` is still open.
    void restore();
    bool isRequested() const { return m_fd >= 0; }

private:
    int m_fd = -1;
    // The serial flags before, when the flag was set here.
    std::optional<int> m_oldFlags;
    // The timer file and its value before, when it was written here.
    QString m_timerPath;
    QByteArray m_oldTimer;
};
