// The DLL as a module: what it exports and what it imports, as the MinGW
// objdump reports them. Needs no Wine.
#include "process_runner.h"
#include "wine_paths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>

namespace {

constexpr std::chrono::seconds kObjdumpTimeout{30};

std::string module_headers(const char *path) {
  const ProcessResult dump = run_process({kMingwObjdump, "-p", path}, kObjdumpTimeout);
  EXPECT_EQ(dump.exit_code, 0) << dump.errors;
  return dump.output;
}

// Export names by ordinal, from the name table that follows the export
// address table's ordinal base.
std::map<int, std::string> exports_by_ordinal(const std::string &headers) {
  std::smatch match;
  const std::regex base_line(R"(Ordinal Base (\d+))");
  if (!std::regex_search(headers, match, base_line)) {
    return {};
  }
  const int base = std::stoi(match[1]);
  const std::size_t table = headers.find("[Ordinal/Name Pointer] Table");
  if (table == std::string::npos) {
    return {};
  }
  std::map<int, std::string> names;
  std::istringstream lines(headers.substr(table));
  std::string line;
  std::getline(lines, line); // the table's title
  const std::regex entry(
      R"(^\s*\[\s*(\d+)\]\s+(?:\+base\[\s*\d+\]\s+(?:[0-9a-f]+\s+)?)?(\S+)\s*$)");
  while (std::getline(lines, line) && std::regex_match(line, match, entry)) {
    names[std::stoi(match[1]) + base] = match[2];
  }
  return names;
}

std::vector<std::string> imported_modules(const std::string &headers) {
  std::vector<std::string> modules;
  const std::regex dll_name(R"(DLL Name: (\S+))");
  for (auto it = std::sregex_iterator(headers.begin(), headers.end(), dll_name);
       it != std::sregex_iterator(); ++it) {
    modules.push_back((*it)[1]);
  }
  return modules;
}

std::string lower_case(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// Part of every Windows installation: nothing of the compiler's runtime.
bool is_system_module(const std::string &name) {
  const std::string lower = lower_case(name);
  return lower == "kernel32.dll" || lower == "advapi32.dll" || lower == "msvcrt.dll" ||
         lower == "ucrtbase.dll" || lower.starts_with("api-ms-win-");
}

std::string file_contents(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The names of the imported functions, from every module.
std::vector<std::string> imported_functions(const std::string &headers) {
  std::vector<std::string> names;
  const std::size_t begin = headers.find("The Import Tables");
  const std::size_t end = headers.find("The Export Tables");
  if (begin == std::string::npos) {
    return names;
  }
  std::istringstream lines(headers.substr(begin, end == std::string::npos ? end : end - begin));
  // "\t27772\t    1  AcquireSRWLockExclusive": address, hint, name.
  const std::regex entry(R"(^\s+[0-9a-f]+\s+\d+\s+(\S+)\s*$)");
  std::smatch match;
  for (std::string line; std::getline(lines, line);) {
    if (std::regex_match(line, match, entry)) {
      names.push_back(match[1]);
    }
  }
  return names;
}

// Functions that start, stop or steer threads: what a threads runtime brings,
// and what scanners flag in a module that should need none.
bool controls_threads(const std::string &name) {
  static const std::regex thread_control(
      "CreateThread|CreateRemoteThread(Ex)?|_beginthread(ex)?|ExitThread|TerminateThread|"
      "SuspendThread|ResumeThread|(Wow64)?[GS]etThreadContext|QueueUserAPC");
  return std::regex_match(name, thread_control);
}

template <typename Value> Value read_at(const std::string &image, std::size_t offset) {
  Value value{};
  if (offset + sizeof(Value) <= image.size()) {
    std::memcpy(&value, image.data() + offset, sizeof(Value));
  }
  return value;
}

// The functions the module's TLS directory has the loader call on every
// thread start and exit, as addresses relative to the image; empty without
// the directory. Reads the PE32+ headers directly: objdump does not list them.
std::vector<std::uint64_t> tls_callbacks(const std::string &image) {
  constexpr std::size_t kPeOffsetField = 0x3C;
  constexpr std::size_t kTlsDirectory = 9;
  const auto pe = read_at<std::uint32_t>(image, kPeOffsetField);
  const auto sections = read_at<std::uint16_t>(image, pe + 6);
  const auto optional_size = read_at<std::uint16_t>(image, pe + 20);
  const std::size_t optional = pe + 24;
  const auto image_base = read_at<std::uint64_t>(image, optional + 24);
  const auto tls_rva = read_at<std::uint32_t>(image, optional + 112 + 8 * kTlsDirectory);
  // A relative address to its place in the file, through the section table.
  const auto file_offset = [&](std::uint64_t rva) -> std::size_t {
    for (std::size_t i = 0; i < sections; ++i) {
      const std::size_t header = optional + optional_size + 40 * i;
      const auto virtual_size = read_at<std::uint32_t>(image, header + 8);
      const auto address = read_at<std::uint32_t>(image, header + 12);
      const auto raw_size = read_at<std::uint32_t>(image, header + 16);
      const auto raw_offset = read_at<std::uint32_t>(image, header + 20);
      if (rva >= address && rva < address + std::max(virtual_size, raw_size)) {
        return raw_offset + (rva - address);
      }
    }
    return image.size();
  };
  std::vector<std::uint64_t> callbacks;
  if (tls_rva == 0) {
    return callbacks;
  }
  // IMAGE_TLS_DIRECTORY64: the callback list's address is its fourth field.
  const auto list = read_at<std::uint64_t>(image, file_offset(tls_rva) + 24);
  for (std::size_t at = file_offset(list - image_base);; at += 8) {
    const auto callback = read_at<std::uint64_t>(image, at);
    if (callback == 0) {
      return callbacks;
    }
    callbacks.push_back(callback - image_base);
  }
}

TEST(WineModule, ExportsTheSixFunctionsUndecoratedAtOrdinalsOneToSix) {
  const std::map<int, std::string> expected = {
      {1, "MDB_IF_ScanInterface"}, {2, "MDB_IF_OpenInterface"}, {3, "MDB_IF_CloseInterface"},
      {4, "MDB_IF_ExecCommand"},   {5, "MDB_IF_LineReset"},     {6, "MDB_IF_GetVersion"},
  };
  const std::string headers = module_headers(kWindowsDll);
  EXPECT_EQ(exports_by_ordinal(headers), expected) << headers;
  // Every address in the export table, named or not; lld leaves the unused
  // slot of ordinal 0 empty, and objdump lists no empty slot.
  const std::regex address(R"(\n\s*\[\s*\d+\] \+base\[\s*\d+\] [0-9a-f]+ Export RVA)");
  EXPECT_EQ(std::distance(std::sregex_iterator(headers.begin(), headers.end(), address),
                          std::sregex_iterator()),
            6)
      << "the module exports more than its six functions by ordinal";
}

TEST(WineModule, ImportsOnlySystemModules) {
  for (const char *module : {kWindowsDll, kWineHostExe}) {
    const std::vector<std::string> imports = imported_modules(module_headers(module));
    EXPECT_FALSE(imports.empty()) << module;
    for (const std::string &name : imports) {
      EXPECT_TRUE(is_system_module(name)) << module << " imports " << name;
    }
  }
}

// Nothing in the DLL runs on the host's threads or starts threads of its own.
// A threads runtime linked in for the guard of a function-local static would
// import SuspendThread, SetThreadContext and _beginthreadex and add a TLS
// callback of its own to the two of MinGW-w64's start-up code, which have
// nothing to do in a module without thread-local data.
TEST(WineModule, ImportsNothingThatControlsThreadsAndAddsNoTlsCallback) {
  constexpr std::size_t kStartupTlsCallbacks = 2;
  const std::vector<std::string> functions = imported_functions(module_headers(kWindowsDll));
  ASSERT_FALSE(functions.empty());
  RecordProperty("imported_functions", std::to_string(functions.size()));
  for (const std::string &name : functions) {
    EXPECT_FALSE(controls_threads(name)) << "imports " << name;
  }
  EXPECT_LE(tls_callbacks(file_contents(kWindowsDll)).size(), kStartupTlsCallbacks);
}

TEST(WineModule, TheHostLoadsTheDllJustBuilt) {
  const std::string beside_host =
      (std::filesystem::path(kWineHostExe).parent_path() / "korvel_dll.dll").string();
  const std::string built = file_contents(kWindowsDll);
  ASSERT_FALSE(built.empty()) << kWindowsDll << " is missing: build the windows preset first";
  EXPECT_TRUE(file_contents(beside_host) == built) << beside_host << " is a stale copy";
}

} // namespace
