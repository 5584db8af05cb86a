#include "util/whole_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace kalvix {

WholeFile ReadWholeFile(const std::filesystem::path& path, std::string& text) {
  text.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return WholeFile::kOpenFailed;
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      const int error = errno;
      ::close(fd);
      text.clear();
      errno = error;
      return WholeFile::kReadFailed;
    }
  }
  ::close(fd);
  return WholeFile::kRead;
}

}  // namespace kalvix
