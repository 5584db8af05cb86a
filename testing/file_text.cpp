#include "testing/file_text.h"

#include <fstream>
#include <sstream>

namespace kalvix {

std::string ReadFileText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace kalvix
