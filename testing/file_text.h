// A whole file as text, for tests that judge what the service wrote (its log, its settings).
#ifndef KALVIX_TESTING_FILE_TEXT_H_
#define KALVIX_TESTING_FILE_TEXT_H_

#include <filesystem>
#include <string>

namespace kalvix {

// The file's bytes; empty when it cannot be read.
std::string ReadFileText(const std::filesystem::path& path);

}  // namespace kalvix

#endif  // KALVIX_TESTING_FILE_TEXT_H_
