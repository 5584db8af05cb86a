#include "util/profile_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "util/ascii_case.h"
#include "util/whole_file.h"

namespace kalvix {
namespace {

std::string_view Trim(std::string_view s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

// The section name of a "[name]" line, or nullopt.
std::optional<std::string_view> SectionName(std::string_view line) {
  line = Trim(line);
  if (line.empty() || line.front() != '[') return std::nullopt;
  const size_t close = line.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return Trim(line.substr(1, close - 1));
}

bool IsComment(std::string_view line) {
  line = Trim(line);
  return !line.empty() && line.front() == ';';
}

// The key of a "key=value" line, or nullopt.
std::optional<std::string_view> KeyOf(std::string_view line) {
  if (IsComment(line)) return std::nullopt;
  const size_t eq = line.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  return Trim(line.substr(0, eq));
}

std::string_view ValueOf(std::string_view line) {
  std::string_view value = Trim(line.substr(line.find('=') + 1));
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  return value;
}

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

std::optional<int> ParseInteger(std::string_view text) {
  text = Trim(text);
  if (text.size() > 1 && text.front() == '+' && text[1] != '-') text.remove_prefix(1);
  int value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

ProfileFile::ProfileFile(std::filesystem::path path) : path_(std::move(path)) {}

bool ProfileFile::Load(std::string* error) {
  lines_.clear();
  lineEnd_ = "\n";
  byteOrderMark_ = false;
  std::error_code ec;
  if (!std::filesystem::exists(path_, ec)) return true;
  std::string text;
  switch (ReadWholeFile(path_, text)) {
    case WholeFile::kRead:
      break;
    case WholeFile::kOpenFailed:
      if (error) *error = Errno("cannot open " + path_.string());
      return false;
    case WholeFile::kReadFailed:
      if (error) *error = "cannot read " + path_.string();
      return false;
  }
  byteOrderMark_ = text.rfind("\xEF\xBB\xBF", 0) == 0;
  if (byteOrderMark_) text.erase(0, 3);
  if (text.find("\r\n") != std::string::npos) lineEnd_ = "\r\n";
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines_.push_back(std::move(line));
    start = end + 1;
  }
  return true;
}

ProfileFile::Located ProfileFile::Find(std::string_view section, std::string_view key) const {
  Located found;
  for (size_t i = 0; i < lines_.size(); ++i) {
    const auto name = SectionName(lines_[i]);
    if (!found.section) {
      if (name && EqualsIgnoringAsciiCase(*name, section)) {
        found.section = i;
        found.sectionEnd = i + 1;
      }
      continue;
    }
    if (name) break;  // the next section begins
    if (!Trim(lines_[i]).empty()) found.sectionEnd = i + 1;
    if (!found.key) {
      const auto k = KeyOf(lines_[i]);
      if (k && EqualsIgnoringAsciiCase(*k, key)) found.key = i;
    }
  }
  return found;
}

std::optional<std::string> ProfileFile::ReadValue(std::string_view section,
                                                  std::string_view key) const {
  const Located found = Find(section, key);
  if (!found.key) return std::nullopt;
  return std::string(ValueOf(lines_[*found.key]));
}

std::string ProfileFile::ReadString(std::string_view section, std::string_view key,
                                    std::string_view defaultValue) const {
  auto value = ReadValue(section, key);
  return value ? *value : std::string(defaultValue);
}

int ProfileFile::ReadInteger(std::string_view section, std::string_view key,
                             int defaultValue) const {
  const auto value = ReadValue(section, key);
  if (!value) return defaultValue;
  return ParseInteger(*value).value_or(defaultValue);
}

bool ProfileFile::ReadBool(std::string_view section, std::string_view key,
                           bool defaultValue) const {
  return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}

void ProfileFile::WriteString(std::string_view section, std::string_view key,
                              std::string_view value) {
  std::string clean(value);
  for (char& c : clean) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  const Located found = Find(section, key);
  if (found.key) {
    std::string& line = lines_[*found.key];
    line = std::string(Trim(line.substr(0, line.find('=')))) + "=" + clean;
  } else if (found.section) {
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(found.sectionEnd),
                  std::string(key) + "=" + clean);
  } else {
    if (!lines_.empty() && !Trim(lines_.back()).empty()) lines_.emplace_back();
    lines_.push_back("[" + std::string(section) + "]");
    lines_.push_back(std::string(key) + "=" + clean);
  }
}

void ProfileFile::WriteInteger(std::string_view section, std::string_view key, int value) {
  WriteString(section, key, std::to_string(value));
}

void ProfileFile::WriteBool(std::string_view section, std::string_view key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

std::string ProfileFile::Text() const {
  std::string text = byteOrderMark_ ? "\xEF\xBB\xBF" : "";
  for (const std::string& line : lines_) {
    text += line;
    text += lineEnd_;
  }
  return text;
}

bool ProfileFile::Save(std::string* error) const {
  // Replace the file a symbolic link points at, not the link.
  std::error_code ec;
  std::filesystem::path target = path_;
  if (std::filesystem::is_symlink(path_, ec)) {
    target = std::filesystem::canonical(path_, ec);
    if (ec) target = path_;
  }
  const std::filesystem::path dir =
      target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
  std::string tempName = (dir / ("." + target.filename().string() + ".XXXXXX")).string();
  const int fd = ::mkstemp(tempName.data());
  if (fd < 0) {
    if (error) *error = Errno("cannot create a temporary file in " + dir.string());
    return false;
  }
  const std::string text = Text();
  bool ok = ::fchmod(fd, 0600) == 0;
  const char* data = text.data();
  size_t left = text.size();
  while (ok && left > 0) {
    const ssize_t n = ::write(fd, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    data += n;
    left -= static_cast<size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  std::string reason = ok ? "" : Errno("cannot write " + tempName);
  if (::close(fd) != 0 && ok) {
    ok = false;
    reason = Errno("cannot write " + tempName);
  }
  if (ok && ::rename(tempName.c_str(), target.c_str()) != 0) {
    ok = false;
    reason = Errno("cannot replace " + target.string());
  }
  if (!ok) {
    ::unlink(tempName.c_str());
    if (error) *error = reason;
  }
  return ok;
}

}  // namespace kalvix
