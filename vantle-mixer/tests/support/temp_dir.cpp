#include "support/temp_dir.hpp"

#include <stdlib.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <vector>

namespace vantle::test {

TempDir::TempDir(std::string_view prefix) {
  std::string pattern = (std::filesystem::temp_directory_path() / std::string(prefix)).string() + "-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) {
    throw std::system_error(errno, std::generic_category(), "creating temporary directory " + pattern);
  }
  path_ = buffer.data();
}

TempDir::~TempDir() {
  // A test may have left read-only or unwritable entries behind; make them removable
  // first so that cleanup also works for unprivileged users.
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
    }
  }
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

}  // namespace vantle::test
