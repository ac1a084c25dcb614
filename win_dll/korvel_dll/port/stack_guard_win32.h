// The stack protector's guard value and failure routine for the DLL itself.
//
// The compiler's own (GCC's libssp) seeds its guard from CryptGenRandom in a
// constructor, so loading the DLL would load a cryptographic provider module
// while the host's LoadLibrary holds the loader lock, which a module's
// start-up must never do. This guard is seeded from values the process
// already has, as Visual C++ seeds its security cookie, and a smashed stack
// ends the process at once through the system's fail-fast path.
#pragma once

namespace korvel::port {

// Gives the guard its value for this process. Called once, first thing when
// the DLL is attached, from a function the stack protector leaves alone.
void seed_stack_guard();

} // namespace korvel::port
