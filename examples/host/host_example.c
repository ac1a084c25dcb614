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
  const int scanned = argc < 2;
  if (!scanned) {
    snprintf(port, sizeof(port), "%s", argv[1]);
  } else if (!check("MDB_IF_ScanInterface", MDB_IF_ScanInterface(port)) || port[0] == '\0') {
    fprintf(stderr, "no adapter found; give its port name as the argument (on Linux a scan "
                    "never lists pseudo-terminals such as korvel-sim's)\n");
    return 1;
  }
  printf("adapter port: %s\n", port);

  MDB_IF_HANDLE handle = NULL;
  if (!check("MDB_IF_OpenInterface", MDB_IF_OpenInterface(port, &handle))) {
    return 1;
  }

  char version[64];
  const int32_t version_result = MDB_IF_GetVersion(handle, version, sizeof(version));
  int ok = check("MDB_IF_GetVersion", version_result);
  if (ok) {
    printf("version: %s\n", version);
  } else if (scanned && version_result == MDB_IF_LINK_ERROR) {
    /* A scan finds the adapter by a reply to the version command that has no
     * status byte in front of "MDB_IF"; the version call reads that first
     * byte as the status, which it is not, and so gives 5. One reply cannot
     * serve both: the example carries on without the version. */
    printf("no version: the adapter answered the scan's identification, whose reply has no "
           "status byte, so MDB_IF_GetVersion gives 5 (korvel-sim --identify answers so)\n");
    ok = 1;
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
