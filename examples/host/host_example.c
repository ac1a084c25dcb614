/* A host program in C: the calling order of the library.
 *
 *   host_example [PORT]
 *
 * Without PORT it scans for the adapter. It then opens the interface, reads
 * the version text, sends one command and closes the interface again. */
#include <korvel_dll.h>

#include <stdio.h>
#include <string.h>

static int check(const char *call, int32_t result) {
  printf("%-22s result %d\n", call, (int)result);
  return result == MDB_IF_OK;
}

int main(int argc, char **argv) {
  char port[MDB_IF_PORT_NAME_BUFFER] = "";
  if (argc > 1) {
    snprintf(port, sizeof(port), "%s", argv[1]);
  } else if (!check("MDB_IF_ScanInterface", MDB_IF_ScanInterface(port)) || port[0] == '\0') {
    fprintf(stderr, "no adapter found; give its port name as the argument\n");
    return 1;
  }
  printf("adapter port: %s\n", port);

  MDB_IF_HANDLE handle = NULL;
  if (!check("MDB_IF_OpenInterface", MDB_IF_OpenInterface(port, &handle))) {
    return 1;
  }

  char version[64];
  int ok = check("MDB_IF_GetVersion", MDB_IF_GetVersion(handle, version, sizeof(version)));
  if (ok) {
    printf("version: %s\n", version);
  }

  const uint8_t command[] = {0x0A, 0x0B};
  uint8_t reply[32];
  int32_t reply_length = sizeof(reply);
  ok = check("MDB_IF_ExecCommand",
             MDB_IF_ExecCommand(handle, command, sizeof(command), reply, &reply_length)) &&
       ok;
  if (ok) {
    printf("reply:");
    for (int32_t i = 0; i < reply_length; ++i) {
      printf(" %02X", reply[i]);
    }
    printf("\n");
  }

  ok = check("MDB_IF_CloseInterface", MDB_IF_CloseInterface(handle)) && ok;
  return ok ? 0 : 1;
}
