// The DCB flags that make a COM port's line binary-transparent, shared by the
// library and the simulator's Windows line, so that both ends set the same.
#pragma once

#include <windows.h>

namespace korvel::port {

// Every byte passes both ways, whatever the previous program left set: no
// flow control that can stop output for ever (CTS, DSR, a received XOFF) or
// send XON/XOFF of its own, no null bytes dropped, no error character
// replacing bytes, no abort that fails every later read and write, and no
// parity checking left over from another framing (BuildCommDCB's "parity=N"
// need not clear the check).
inline void make_binary_transparent(DCB &dcb) {
  dcb.fBinary = TRUE;
  dcb.fParity = FALSE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fAbortOnError = FALSE;
}

} // namespace korvel::port
