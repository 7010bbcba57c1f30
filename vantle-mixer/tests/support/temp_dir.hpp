// A fresh directory for one test's files, removed with everything in it when the
// object goes out of scope, so tests can run in parallel without sharing paths.
#pragma once

#include <filesystem>
#include <string_view>

namespace vantle::test {

class TempDir {
 public:
  // Creates "<system temporary directory>/<prefix>-XXXXXX"; throws std::system_error.
  explicit TempDir(std::string_view prefix = "vantle-test");
  ~TempDir();

  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace vantle::test
