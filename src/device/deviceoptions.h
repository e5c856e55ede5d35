#pragma once

#include <string>

// marlune-device's command line.
struct DeviceOptions
{
    std::string storeDir = ".";
    std::string linkPath; // empty: no link
    std::string playFile; // empty: play the last file stored
    bool playEnabled = true;
    int gapMs = 1000;
    // Line speed in bits per second; 0 paces nothing. With `baudFollowsProgram` the speed is the
    // one the program sets on its end of the line, and `baud` is unused.
    long baud = 0;
    bool baudFollowsProgram = false;

    enum class Outcome
    {
        Run,
        Help,
        Error,
    };
    // Fills `out` from the arguments; on Error, `error` says what is wrong.
    static Outcome parse(int argc, const char* const* argv, DeviceOptions* out, std::string* error);
    static std::string helpText();

private:
    // Takes the value of one option that has one; false, with the reason, when it is wrong.
    bool take(const std::string& name, const std::string& value, std::string* error);
};
