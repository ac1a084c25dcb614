// The DLL as a module: what it exports and what it imports, as the MinGW
// objdump reports them. Needs no Wine.
#include "process_runner.h"
#include "wine_paths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
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

TEST(WineModule, TheHostLoadsTheDllJustBuilt) {
  const std::string beside_host =
      (std::filesystem::path(kWineHostExe).parent_path() / "korvel_dll.dll").string();
  const std::string built = file_contents(kWindowsDll);
  ASSERT_FALSE(built.empty()) << kWindowsDll << " is missing: build the windows preset first";
  EXPECT_TRUE(file_contents(beside_host) == built) << beside_host << " is a stale copy";
}

} // namespace
