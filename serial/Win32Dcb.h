// How the component's line settings and time-outs map onto the Windows
// device control block and COMMTIMEOUTS. Pure, so the mapping is checked
// with tables rather than through a device.
#pragma once

#include "SerialSettings.h"

#include <windows.h>

// Rewrites `dcb` for these settings: the flag word is rebuilt from nothing
// (binary mode on, abort-on-error and every flag not set here off); the
// end-of-file and event characters keep the device's values.
void BuildDcb(DCB& dcb, const LineSettings& settings);

COMMTIMEOUTS ToCommTimeouts(const CommTimeouts& timeouts);
