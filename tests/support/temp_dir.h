#pragma once
// A temporary directory for one test, removed with everything in it when the
// object goes.

#include <filesystem>
#include <string>

namespace tovarin::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // Writes `content` to `relative` under the directory, creating folders.
  std::filesystem::path write(const std::string& relative, const std::string& content) const;

 private:
  std::filesystem::path path_;
};

}  // namespace tovarin::test
