#pragma once

#include <QtGlobal>

// Line speeds beyond the standard table (250000, 1000000, ...), which termios's own calls cannot
// express. Where the platform offers no way, `set` refuses and `get` says 0.
namespace SerialSpeed {

// Sets both directions of the open terminal `fd` to `speed` bits per second, keeping every other
// setting.
bool set(int fd, qint32 speed);
// The output speed the terminal reports, in bits per second; 0 when it cannot tell.
qint32 get(int fd);

} // namespace SerialSpeed
