// The shared library allocates nothing on the heap, on any path of any
// export. Allocations are counted on the calling thread only, so the
// simulated adapter's own thread does not count.
#include "korvel_dll.h"
#include "sim_adapter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

extern "C" {
void *__libc_malloc(std::size_t size);
void *__libc_calloc(std::size_t count, std::size_t size);
void *__libc_realloc(void *pointer, std::size_t size);
void *__libc_memalign(std::size_t alignment, std::size_t size);
}

namespace {
thread_local bool counting = false;
thread_local int allocations = 0;

void note_allocation() {
  if (counting) {
    ++allocations;
  }
}
} // namespace

extern "C" void *malloc(std::size_t size) {
  note_allocation();
  return __libc_malloc(size);
}
extern "C" void *calloc(std::size_t count, std::size_t size) {
  note_allocation();
  return __libc_calloc(count, size);
}
extern "C" void *realloc(void *pointer, std::size_t size) {
  note_allocation();
  return __libc_realloc(pointer, size);
}
extern "C" void *aligned_alloc(std::size_t alignment, std::size_t size) {
  note_allocation();
  return __libc_memalign(alignment, size);
}

namespace {

using korvel::sim::Answer;
using korvel::sim::Bytes;

// Runs body with allocations on this thread counted, and returns the count.
template <typename Body> int allocations_during(Body body) {
  allocations = 0;
  counting = true;
  body();
  counting = false;
  return allocations;
}

TEST(ZeroHeap, TheCounterSeesAllocations) {
  EXPECT_EQ(allocations_during([] {
              void *volatile block = std::malloc(64);
              std::free(block);
            }),
            1);
}

TEST(ZeroHeap, NoExportAllocatesOnSuccessOrFailure) {
  std::atomic<bool> corrupt = false;
  korvel::sim::PtyAdapter adapter([&corrupt](const Bytes &command) {
    Answer answer = korvel::sim::default_answer(command);
    answer.corrupt_crc = corrupt;
    return answer;
  });
  MDB_IF_HANDLE handle = nullptr;
  char text[64];
  std::uint8_t reply[16];
  std::int32_t length = sizeof(reply);
  const std::uint8_t command[] = {0x0A, 0x7D};
  const std::string name = adapter.port_name();

  EXPECT_EQ(allocations_during([&] {
              EXPECT_EQ(MDB_IF_OpenInterface(name.c_str(), &handle), MDB_IF_OK);
              EXPECT_EQ(MDB_IF_GetVersion(handle, text, sizeof(text)), MDB_IF_OK);
              EXPECT_EQ(MDB_IF_LineReset(handle), MDB_IF_OK);
              EXPECT_EQ(MDB_IF_ExecCommand(handle, command, 2, reply, &length), MDB_IF_OK);
            }),
            0);
  corrupt = true;
  EXPECT_EQ(allocations_during([&] {
              EXPECT_EQ(MDB_IF_LineReset(handle), MDB_IF_OPEN_OR_CRC_ERROR);
              EXPECT_EQ(MDB_IF_ExecCommand(handle, nullptr, 3, reply, &length), MDB_IF_LINK_ERROR);
              EXPECT_EQ(MDB_IF_LineReset(nullptr), MDB_IF_BAD_HANDLE);
              char found[MDB_IF_PORT_NAME_BUFFER];
              MDB_IF_ScanInterface(found);
              EXPECT_EQ(MDB_IF_CloseInterface(handle), MDB_IF_OK);
              EXPECT_EQ(MDB_IF_OpenInterface("no-such-port", &handle), MDB_IF_OPEN_OR_CRC_ERROR);
              EXPECT_EQ(MDB_IF_CloseInterface(handle), MDB_IF_OK);
            }),
            0);
}

} // namespace
