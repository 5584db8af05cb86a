// ReadWholeFile: a whole file into a string, with open(2) and read(2).
//
// The service reads only a few small files (the settings file, a password file, the command
// line of a process) and does so without the C++ streams: the first stream of a process
// builds the standard library's locale, all of its facets, which touches about 0.5 MB of
// libstdc++ that kalvixd needs nowhere else.
#ifndef KALVIX_UTIL_WHOLE_FILE_H_
#define KALVIX_UTIL_WHOLE_FILE_H_

#include <filesystem>
#include <string>

namespace kalvix {

enum class WholeFile { kRead, kOpenFailed, kReadFailed };

// The file's bytes, exactly, in text. On a failure errno is as the failed call left it and
// text is empty.
WholeFile ReadWholeFile(const std::filesystem::path& path, std::string& text);

}  // namespace kalvix

#endif  // KALVIX_UTIL_WHOLE_FILE_H_
