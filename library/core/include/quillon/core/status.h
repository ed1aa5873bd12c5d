// The one set of status codes at every layer of the library: the serial
// port, the device operations, the exported functions and the programs
// built on the core all speak the codes of the C interface (quillon_status
// in quillon.h), so a code travels from the port to a caller unchanged.
#pragma once

#include "quillon.h"

namespace quillon {

/// QUILLON_OK, or why an operation failed (QUILLON_ERR_...).
using Status = quillon_status;

}  // namespace quillon
