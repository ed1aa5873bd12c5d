// The port number the program gives the serial control comes from the port
// name the operator chose: "COM12" is port 12. A name that begins with "/"
// names a device directly instead.
#pragma once

#include <QString>

/// Skips the first three characters (normally "COM", never compared) and
/// converts what follows as the C library's atoi does: leading white space,
/// an optional sign, then digits up to the first non-digit; no digits is 0.
/// At most 19 characters after the skipped three take part, as if copied
/// into a zeroed buffer of 20 characters; the rest of a longer name is
/// ignored. The name's characters are taken as Latin-1 bytes.
///
/// A value outside the range of int saturates at INT_MIN or INT_MAX (where
/// atoi itself would be undefined). The int then becomes a 16-bit port
/// number by keeping its low 16 bits, as an int stored into a short always
/// did: "COM65537" gives 1 and "COM40000" gives -25536.
[[nodiscard]] short PortNumberFromName(const QString& portName);

/// True when the name is a device path ("/dev/ttyUSB0") rather than COMn.
[[nodiscard]] bool IsDevicePathName(const QString& portName);
