#pragma once

struct Setup;
class Report;

// XMODEM-1K and YMODEM, both ways, against lrzsz on the same line in the same run: the program's
// sender to lrzsz's receiver beside lrzsz's own sender to it, and lrzsz's sender to the
// program's receiver beside it to lrzsz's own receiver, on an unpaced line and on one paced
// to 115200 baud.
void measureProtocols(const Setup& setup, Report* report);
// How the protocol rows are taken, for the report's header.
const char* protocolMethod();
