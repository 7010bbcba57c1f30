#include "util/files.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "util/error.hpp"

namespace vantle::files {

namespace {

[[noreturn]] void throw_errno(int err) { throw Error(os_error_text(err)); }

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Closes now so that a failing close is reported.
  int close() {
    int rc = ::close(fd_);
    fd_ = -1;
    return rc;
  }

 private:
  int fd_;
};

}  // namespace

std::filesystem::path temporary_sibling(const std::filesystem::path& target) {
  std::filesystem::path tmp = target;
  tmp.replace_extension("json.tmp");
  return tmp;
}

bool is_valid_utf8(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    auto c = static_cast<unsigned char>(bytes[i]);
    std::size_t extra = 0;
    std::uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + extra >= bytes.size()) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      auto cc = static_cast<unsigned char>(bytes[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    // Overlong forms, surrogates and values beyond U+10FFFF are not UTF-8.
    static constexpr std::uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMinimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

std::string read_text(const std::filesystem::path& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw_errno(errno);
  Fd file(fd);
  std::string content;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(file.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_errno(errno);
    }
    if (n == 0) break;
    content.append(buf, static_cast<std::size_t>(n));
  }
  if (!is_valid_utf8(content)) throw Error("stream did not contain valid UTF-8");
  return content;
}

void write_whole(const std::filesystem::path& path, std::string_view bytes, Durability durability) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) throw_errno(errno);
  Fd file(fd);
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(file.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_errno(errno);
    }
    done += static_cast<std::size_t>(n);
  }
  if (durability == Durability::kSyncToDisk && ::fsync(file.get()) != 0) throw_errno(errno);
  if (file.close() != 0) throw_errno(errno);
}

void rename_over(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) throw_errno(errno);
}

void sync_parent_directory(const std::filesystem::path& path) {
  std::filesystem::path dir = path.parent_path();
  if (dir.empty()) dir = ".";
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) throw_errno(errno);
  Fd handle(fd);
  if (::fsync(handle.get()) != 0) throw_errno(errno);
}

std::string replace_reporting(const std::filesystem::path& target, std::string_view bytes, const StepTexts& steps) {
  const auto tmp = temporary_sibling(target);
  auto failed = [](const char* step, int err) { return std::string(step) + ": " + os_error_text(err); };
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return failed(steps.create, errno);
  Fd file(fd);
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(file.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return failed(steps.write, errno);
    done += static_cast<std::size_t>(n);
  }
  (void)::fsync(file.get());
  file.close();
  if (::rename(tmp.c_str(), target.c_str()) != 0) return failed(steps.rename, errno);
  return {};
}

void replace(const std::filesystem::path& target, std::string_view bytes, Durability durability) {
  const auto tmp = temporary_sibling(target);
  with_context("writing " + tmp.string(), [&] { write_whole(tmp, bytes, durability); });
  with_context("renaming " + tmp.string() + " to " + target.string(), [&] { rename_over(tmp, target); });
  if (durability == Durability::kSyncToDisk) {
    with_context("syncing directory of " + target.string(), [&] { sync_parent_directory(target); });
  }
}

}  // namespace vantle::files
