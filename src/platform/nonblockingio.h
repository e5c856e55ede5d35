#pragma once

#include <QtGlobal>

// Reads and writes on a descriptor that never waits: the count moved, 0 when the descriptor
// would have to wait, -1 with errno set on a failure. A call a signal interrupted is made again.
namespace NonBlockingIo {

// `atEnd` says whether a read of nothing was the end (a hang-up, a closed pipe).
qint64 read(int fd, char* data, qint64 size, bool* atEnd);
qint64 write(int fd, const char* data, qint64 size);

} // namespace NonBlockingIo
