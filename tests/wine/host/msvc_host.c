/* msvc_host.exe: a host program built as Visual Studio builds one: compiled
 * for the MSVC target and linked by lld-link against korvel_dll.lib, so that
 * the loader binds the exports through that import library. The MSVC C
 * runtime is not at hand, so the program uses kernel32 alone and has its own
 * entry point.
 *
 *   msvc_host PORT
 *
 * Opens PORT, prints "version: TEXT" and closes the interface. Exit status:
 * 0, or the result code of the first call that failed. */
#include <korvel_dll.h>

#define STD_OUTPUT_HANDLE ((unsigned long)-11)

__declspec(dllimport) void *GetStdHandle(unsigned long which);
__declspec(dllimport) int WriteFile(void *file, const void *bytes, unsigned long count,
                                    unsigned long *written, void *overlapped);
__declspec(dllimport) const char *GetCommandLineA(void);
__declspec(dllimport) __declspec(noreturn) void ExitProcess(unsigned int code);

static void write_text(const char *text) {
  unsigned long length = 0;
  unsigned long written = 0;
  while (text[length] != '\0') {
    ++length;
  }
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, length, &written, 0);
}

/* The port is the last word of the command line. */
static const char *last_word(const char *line) {
  const char *word = line;
  for (const char *c = line; *c != '\0'; ++c) {
    if (c[0] == ' ' && c[1] != ' ' && c[1] != '\0') {
      word = c + 1;
    }
  }
  return word;
}

void host_main(void) {
  MDB_IF_HANDLE handle = 0;
  int32_t result = MDB_IF_OpenInterface(last_word(GetCommandLineA()), &handle);
  if (result == MDB_IF_OK) {
    char text[64];
    result = MDB_IF_GetVersion(handle, text, (int32_t)sizeof(text));
    if (result == MDB_IF_OK) {
      write_text("version: ");
      write_text(text);
      write_text("\n");
    }
    const int32_t closed = MDB_IF_CloseInterface(handle);
    result = result == MDB_IF_OK ? closed : result;
  }
  ExitProcess((unsigned int)result);
}
