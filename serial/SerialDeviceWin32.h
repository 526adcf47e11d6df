// What only the Win32 backend can tell: the device control block the driver
// reports, for diagnostics and for tests that check what reached the line.
#pragma once

#include "SerialDevice.h"

#include <windows.h>

#include <optional>

std::optional<DCB> ReadBackDcb(const SerialDevice& device);
