// Reading, atomic replacement and setting aside of one small file.

#include "settings/atomic_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "base/error_text.h"

namespace talmo {

namespace {

std::string Errno(const std::string& what, int err) { return what + ": " + SysErrorText(err); }

bool WriteAll(int fd, const std::string& text, int& err) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// mkdir -p; the folders hold per-user settings, so only the user may enter.
bool MakeFolders(const std::string& dir, std::string& error) {
  if (dir.empty()) return true;
  struct stat st {};
  if (::stat(dir.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    error = Errno("cannot use folder " + dir, ENOTDIR);
    return false;
  }
  const auto slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeFolders(dir.substr(0, slash), error))
    return false;
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    error = Errno("cannot create folder " + dir, errno);
    return false;
  }
  return true;
}

}  // namespace

std::string FolderOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return path.substr(0, slash == 0 ? 1 : slash);
}

std::string TargetPath(const std::string& path) {
  std::string p = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat lst {};
    if (::lstat(p.c_str(), &lst) != 0 || !S_ISLNK(lst.st_mode)) return p;
    std::string link(static_cast<std::size_t>(lst.st_size > 0 ? lst.st_size : 255) + 1, '\0');
    const ssize_t n = ::readlink(p.c_str(), link.data(), link.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= link.size()) return p;
    link.resize(static_cast<std::size_t>(n));
    p = link[0] == '/' ? link : FolderOf(p) + "/" + link;
  }
  return p;  // a loop of links: ReplaceFile() refuses to replace it
}

TReadResult ReadWholeFile(const std::string& path, std::size_t maxSize, std::string& text,
                          int& err) {
  text.clear();
  // O_NONBLOCK: a FIFO put in its place must not hang the caller.
  const int rfd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (rfd < 0) {
    err = errno;
    return err == ENOENT || err == ENOTDIR ? TReadResult::Missing : TReadResult::Failed;
  }
  struct stat st {};
  if (::fstat(rfd, &st) == 0 && !S_ISREG(st.st_mode)) {
    ::close(rfd);
    return TReadResult::NotRegular;
  }
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(rfd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      err = errno;
      ::close(rfd);
      return TReadResult::Failed;
    }
    if (n == 0) break;
    text.append(buf, static_cast<std::size_t>(n));
    if (text.size() > maxSize) {
      ::close(rfd);
      return TReadResult::TooLarge;
    }
  }
  ::close(rfd);
  return TReadResult::Read;
}

bool ReplaceFile(const std::string& givenPath, const std::string& text, std::string& error) {
  const std::string path = TargetPath(givenPath);
  const std::string dir = FolderOf(path);
  const std::string base = path.substr(path.find_last_of('/') + 1);
  struct stat link {};
  if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
    // A link that leads nowhere (a loop) is the user's, not ours to replace.
    error = Errno("cannot write " + givenPath, ELOOP);
    return false;
  }
  if (!MakeFolders(dir, error)) return false;
  std::string tmp = dir + "/." + base + ".tmp-XXXXXX";
  const int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0) {
    error = Errno("cannot create a temporary file in " + dir, errno);
    return false;
  }
  int err = 0;
  struct stat old {};
  const mode_t mode = ::stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0600;
  bool ok = WriteAll(fd, text, err);
  if (ok && ::fchmod(fd, mode) != 0) {
    err = errno;
    ok = false;
  }
  if (ok && ::fsync(fd) != 0) {
    err = errno;
    ok = false;
  }
  if (::close(fd) != 0 && ok) {
    err = errno;
    ok = false;
  }
  if (ok && ::rename(tmp.c_str(), path.c_str()) != 0) {
    err = errno;
    ok = false;
  }
  if (!ok) {
    ::unlink(tmp.c_str());
    error = Errno("cannot write " + path, err);
    return false;
  }
  // The rename itself is durable only once the folder is.
  const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    (void)::fsync(dfd);
    ::close(dfd);
  }
  return true;
}

int SetFileAside(const std::string& file, const std::string& base, std::string& target) {
  target = base;
  int err = 0;
  for (int attempt = 2; attempt < 1000; ++attempt) {
    // Never replace an earlier set-aside file.
    if (::renameat2(AT_FDCWD, file.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
      return 0;
    err = errno;
    if (err == EINVAL) {
      // The file system knows no RENAME_NOREPLACE: check, then rename.
      struct stat st {};
      if (::stat(target.c_str(), &st) != 0 && ::rename(file.c_str(), target.c_str()) == 0) return 0;
      err = errno == ENOENT ? EEXIST : errno;
    }
    if (err != EEXIST) break;
    target = base + "-" + std::to_string(attempt);
  }
  return err;
}

TFolderLock::TFolderLock(const std::string& dir)
    : FFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
  if (FFd >= 0)
    while (::flock(FFd, LOCK_EX) != 0 && errno == EINTR) {
    }
}

TFolderLock::~TFolderLock() {
  if (FFd >= 0) ::close(FFd);
}

}  // namespace talmo
