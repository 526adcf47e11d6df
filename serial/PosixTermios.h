// How the component's line settings map onto termios. Pure, so the mapping
// is checked with tables rather than through a device.
#pragma once

#include "SerialSettings.h"

#include <termios.h>

#include <optional>

// The speed_t constant for a rate termios knows by name, if any.
std::optional<speed_t> StandardSpeed(uint32_t baudRate);

// Rewrites `t` for these settings in raw mode: the flag words are rebuilt
// from nothing, the end-of-file and other control characters keep the
// device's values. The speed is set when the rate is a standard one; a rate
// of 0 would hang up the line and leaves the current speed. Returns false
// when the rate has to be set by number (SetCustomBaudRate).
bool BuildTermios(termios& t, const LineSettings& settings);
