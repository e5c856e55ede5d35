#pragma once

#include <QString>

#include <cerrno>
#include <cstring>

// What the system says of a failed call, in the user's language.
inline QString systemError(int error = errno)
{
    return QString::fromLocal8Bit(std::strerror(error));
}
