// A folder of the test's own under the system's temporary folder, removed with everything in
// it when the object goes: where a test keeps its spool files.
#ifndef KALVIX_TESTING_SCRATCH_FOLDER_H_
#define KALVIX_TESTING_SCRATCH_FOLDER_H_

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace kalvix {

class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "kalvix-scratch-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  // Empty when the folder could not be made.
  const std::filesystem::path& Path() const { return path_; }
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

}  // namespace kalvix

#endif  // KALVIX_TESTING_SCRATCH_FOLDER_H_
