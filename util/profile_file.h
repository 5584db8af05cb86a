// ProfileFile: a settings file in the Windows profile format ("[section]" headers and
// "key=value" lines) read and written the way the plant's tools expect:
//  - sections and keys are found regardless of the case of a to z; the first match wins;
//  - values are text; surrounding blanks and one pair of matching quotes are removed;
//  - writing a key changes only that key's line: every other line, comment and unknown key
//    stays as it was; a missing key is added at the end of its section, a missing section
//    at the end of the file;
//  - Save writes a temporary file beside the target and renames it over the target, so a
//    failed save never leaves a truncated file, and gives it mode 0600 because it may hold
//    a password.
// Not thread-safe: one owner at a time.
#ifndef KALVIX_UTIL_PROFILE_FILE_H_
#define KALVIX_UTIL_PROFILE_FILE_H_

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kalvix {

class ProfileFile {
 public:
  explicit ProfileFile(std::filesystem::path path);

  // Reads the file. A missing file is an empty profile and not an error; false with a
  // reason in *error when the file exists but cannot be read.
  bool Load(std::string* error = nullptr);

  // Writes the profile to its path (temporary file, then rename). False with a reason.
  bool Save(std::string* error = nullptr) const;

  const std::filesystem::path& Path() const { return path_; }

  std::optional<std::string> ReadValue(std::string_view section, std::string_view key) const;
  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view defaultValue) const;
  // A value that is not a decimal integer within 32 bits reads as the default.
  int ReadInteger(std::string_view section, std::string_view key, int defaultValue) const;
  // An integer: non-zero is true. Anything else reads as the default.
  bool ReadBool(std::string_view section, std::string_view key, bool defaultValue) const;

  // Line breaks inside a value would split it into other keys; they are written as blanks.
  void WriteString(std::string_view section, std::string_view key, std::string_view value);
  void WriteInteger(std::string_view section, std::string_view key, int value);
  void WriteBool(std::string_view section, std::string_view key, bool value);

  // The file's text as Save would write it.
  std::string Text() const;

 private:
  struct Located {
    std::optional<size_t> section;  // line of the section header
    std::optional<size_t> key;      // line of the key
    size_t sectionEnd = 0;          // one past the last non-blank line of the section
  };
  Located Find(std::string_view section, std::string_view key) const;

  std::filesystem::path path_;
  std::vector<std::string> lines_;
  std::string lineEnd_ = "\n";  // the file's own line end is kept (CR LF or LF)
  bool byteOrderMark_ = false;  // a leading UTF-8 BOM is kept too
};

// Parses a whole decimal integer that fits 32 bits ("  -12 " yes, "12abc" and "" no).
std::optional<int> ParseInteger(std::string_view text);

}  // namespace kalvix

#endif  // KALVIX_UTIL_PROFILE_FILE_H_
