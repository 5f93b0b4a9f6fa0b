#include "common/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/failure.h"

namespace tomio {
namespace {

std::string errno_text() { return std::strerror(errno); }

std::string directory_of(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string base_of(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The regular file that an atomic replacement should put in place for this
// name, or an empty string when the name is to be written in place.
std::string replacement_target(const std::string& name) {
  struct stat st;
  if (lstat(name.c_str(), &st) != 0) {
    return errno == ENOENT ? name : std::string();
  }
  if (S_ISREG(st.st_mode)) return name;
  if (S_ISLNK(st.st_mode)) {
    // Replace what the link points at, keeping the link itself.
    char* resolved = realpath(name.c_str(), nullptr);
    if (resolved == nullptr) return std::string();
    std::string target(resolved);
    std::free(resolved);
    if (stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return target;
  }
  return std::string();
}

mode_t default_mode(const std::string& target) {
  struct stat st;
  if (stat(target.c_str(), &st) == 0) return st.st_mode & 07777;
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

}  // namespace

OutputFile::OutputFile(std::string name) : name_(std::move(name)) {
  if (name_.empty()) fail_output("empty output file name");
  target_ = replacement_target(name_);
  if (target_.empty()) {
    file_ = std::fopen(name_.c_str(), "wb");
    if (file_ == nullptr) fail_output("cannot open " + name_ + " for writing: " + errno_text());
    return;
  }
  std::string pattern = directory_of(target_) + "/." + base_of(target_) + ".part-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  const int fd = mkstemp(buffer.data());
  if (fd < 0) fail_output("cannot create " + name_ + ": " + errno_text());
  temporary_.assign(buffer.data());
  register_temporary(temporary_);
  if (fchmod(fd, default_mode(target_)) != 0) {
    close(fd);
    fail_output("cannot set the mode of " + temporary_ + ": " + errno_text());
  }
  file_ = fdopen(fd, "wb");
  if (file_ == nullptr) {
    close(fd);
    fail_output("cannot open " + temporary_ + ": " + errno_text());
  }
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : name_(std::move(other.name_)),
      target_(std::move(other.target_)),
      temporary_(std::move(other.temporary_)),
      file_(other.file_),
      committed_(other.committed_) {
  other.file_ = nullptr;
  other.temporary_.clear();
  other.committed_ = true;
}

OutputFile::~OutputFile() {
  if (file_ != nullptr) std::fclose(file_);
  if (!committed_ && !temporary_.empty()) {
    unlink(temporary_.c_str());
    unregister_temporary(temporary_);
  }
}

void OutputFile::write(const void* data, std::size_t bytes) {
  std::string why;
  if (!try_write(data, bytes, why)) fail_output(why);
}

bool OutputFile::try_write(const void* data, std::size_t bytes, std::string& why) {
  if (file_ == nullptr) {
    why = "internal: write to a closed file " + name_;
    return false;
  }
  if (bytes == 0) return true;
  if (std::fwrite(data, 1, bytes, file_) != bytes) {
    why = "cannot write " + name_ + ": " + errno_text();
    return false;
  }
  return true;
}

void OutputFile::commit() {
  if (file_ == nullptr) fail_output("internal: commit of a closed file " + name_);
  std::FILE* f = file_;
  file_ = nullptr;
  if (std::fflush(f) != 0) {
    const std::string why = errno_text();
    std::fclose(f);
    fail_output("cannot write " + name_ + ": " + why);
  }
  if (!temporary_.empty() && fsync(fileno(f)) != 0) {
    const std::string why = errno_text();
    std::fclose(f);
    fail_output("cannot write " + name_ + ": " + why);
  }
  if (std::fclose(f) != 0) fail_output("cannot close " + name_ + ": " + errno_text());
  if (!temporary_.empty()) {
    if (std::rename(temporary_.c_str(), target_.c_str()) != 0) {
      fail_output("cannot replace " + name_ + ": " + errno_text());
    }
    unregister_temporary(temporary_);
  }
  committed_ = true;
}

}  // namespace tomio
