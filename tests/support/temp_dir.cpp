#include "tests/support/temp_dir.h"

#include <stdlib.h>

#include <fstream>
#include <stdexcept>
#include <system_error>

namespace tovarin::test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tovarin-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TempDir::write(const std::string& relative, const std::string& content) const {
  std::filesystem::path file = path_ / relative;
  std::filesystem::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + file.string());
  return file;
}

}  // namespace tovarin::test
