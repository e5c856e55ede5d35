#pragma once

#include <QtGlobal>

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>

// Every test process keeps its per-user settings in a fresh folder of its own, set before
// anything can read them and removed at exit, so no test reads or writes the user's own.
namespace isolated_settings {

inline std::string& folder()
{
    static std::string path;
    return path;
}

inline void removeFolder()
{
    std::error_code ignored;
    std::filesystem::remove_all(folder(), ignored);
}

inline void isolate()
{
    if (!folder().empty())
        return;
    char name[] = "/tmp/marlune-test-config-XXXXXX";
    if (!::mkdtemp(name))
        qFatal("cannot create a settings folder for the test");
    folder() = name;
    ::setenv("XDG_CONFIG_HOME", name, 1);
    std::atexit(removeFolder);
}

// Runs before main(), so before any settings are read.
inline const bool isolated = (isolate(), true);

} // namespace isolated_settings
