// Where the programs and files of the Wine tests are; the build fills these
// in from the Windows build directory and the installed Wine.
#pragma once

constexpr const char *kWine64 = KORVEL_WINE64;
constexpr const char *kWineServer = KORVEL_WINESERVER;
constexpr const char *kMingwObjdump = KORVEL_MINGW_OBJDUMP;
constexpr const char *kWindowsDll = KORVEL_WINDOWS_DLL;
// Built beside a copy of the DLL, which it loads.
constexpr const char *kWineHostExe = KORVEL_WINE_HOST_EXE;
