// The settings-file reader over arbitrary bytes: loading never fails on content, the keys
// read as the reader promises, a written value can never add a key, and what the file
// writes back reads back with the same keys and values.
//
// Input: the whole file. The entry writes it to a scratch file of its process, since the
// reader works on paths.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "util/profile_file.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

std::filesystem::path ScratchFile(const char* which) {
  return std::filesystem::temp_directory_path() /
         ("kalvix-fuzz-profile-" + std::to_string(::getpid()) + "-" + which + ".ini");
}

void WriteFile(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// What a reader sees of the keys the service uses.
std::string Reading(const kalvix::ProfileFile& file) {
  std::string seen;
  for (const char* section : {"main", "MySQL", "BK003", "timeouts"}) {
    for (const char* key : {"AutoStart", "ModBUS_PortName", "Comp", "Password", "RConst", "x"}) {
      seen += file.ReadString(section, key, "<none>") + "\n";
      seen += std::to_string(file.ReadInteger(section, key, -12345)) + "\n";
      seen += file.ReadBool(section, key, true) ? "1\n" : "0\n";
    }
  }
  return seen;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::filesystem::path path = ScratchFile("in");
  WriteFile(path, input);
  kalvix::ProfileFile file(path);
  Require(file.Load());

  // Integers read back as whole numbers that print and parse to themselves.
  if (const std::optional<int> n = kalvix::ParseInteger(input)) {
    Require(kalvix::ParseInteger(std::to_string(*n)) == n);
  }

  // A value is stored as one line: whatever it holds, no other key changes.
  const std::string before = Reading(file);
  const std::string value(input.substr(0, 64));
  file.WriteString("fuzz", "Injected", value);
  Require(Reading(file) == before);

  // What is written reads back as it was read.
  const std::filesystem::path copy = ScratchFile("out");
  WriteFile(copy, file.Text());
  kalvix::ProfileFile reread(copy);
  Require(reread.Load());
  Require(Reading(reread) == before);
  Require(reread.ReadString("fuzz", "Injected", "") == file.ReadString("fuzz", "Injected", ""));
  // The text itself may change once: a last line ending in a lone CR gains an LF when
  // written, and a file with a CR LF in it is read back with CR LF line ends throughout.
  // The keys above are what must not change.

  std::error_code ignored;
  std::filesystem::remove(path, ignored);
  std::filesystem::remove(copy, ignored);
  return 0;
}
