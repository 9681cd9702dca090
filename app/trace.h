#pragma once

// Developer traces on standard output. Each line is flushed at once: when stdout
// is a pipe or a file, buffered lines would be lost if the process is killed.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void traceOut(const char *format, ...);
