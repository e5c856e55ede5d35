#pragma once

struct CommandLine;

// Runs `marlune send` or `marlune receive` as the command line asks, on the port and speed
// stored by the window unless the line says otherwise, and returns the exit code. Needs a
// QCoreApplication; the stored settings are only read.
int runTransferCommand(const CommandLine& commandLine);
