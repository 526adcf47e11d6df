// Rates that have no B-constant go through termios2 / BOTHER. Kept in a file
// of its own because the kernel's termios header clashes with glibc's.
#pragma once

#include <cstdint>

// Sets both directions to `baudRate`, leaving every other setting as it is.
bool SetCustomBaudRate(int fd, uint32_t baudRate);

// The rates in force, read the same way (works for standard rates too).
bool GetBaudRate(int fd, uint32_t& inputRate, uint32_t& outputRate);
