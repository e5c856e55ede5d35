#pragma once

// Where the benchmark's parts run. On a machine of two cores the scheduler places the far end,
// the program and the kernel's tty worker as it pleases, and a pty transfer then runs at one of
// two quite different speeds from run to run. For throughput the far end gets the first core and
// whatever moves data on the program's side gets the last, the same for the program and the
// baseline, so that a figure says something about the program, not about the placement. CPU
// runs leave placement to the scheduler, as a program's use of a real line would.
namespace CpuPlacement {

// While on, the program's side runs on the last core and each far end pins itself to the first;
// while off, every thread may run anywhere. The calling thread and what it starts follow.
void setPinned(bool on);
// Pins the calling thread to the far end's core, while placement is on.
void pinToFarEndCore();
// What placement the throughput runs use, for the report.
const char* describe();

} // namespace CpuPlacement
