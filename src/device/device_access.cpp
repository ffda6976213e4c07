#include "device/device_access.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

namespace talmo {
namespace {

// Buffer sizes for the reentrant look-ups: the system's suggestion, grown
// while it answers ERANGE.
long StartSize(int name) {
  const long n = sysconf(name);
  return n > 0 ? n : 1024;
}

std::string GroupName(gid_t gid) {
  std::vector<char> buf(static_cast<std::size_t>(StartSize(_SC_GETGR_R_SIZE_MAX)));
  struct group g {};
  struct group* found = nullptr;
  int rc;
  while ((rc = getgrgid_r(gid, &g, buf.data(), buf.size(), &found)) == ERANGE &&
         buf.size() < (1u << 20))
    buf.resize(buf.size() * 2);
  return rc == 0 && found && found->gr_name ? std::string(found->gr_name) : std::to_string(gid);
}

std::string UserName(uid_t uid) {
  std::vector<char> buf(static_cast<std::size_t>(StartSize(_SC_GETPW_R_SIZE_MAX)));
  struct passwd p {};
  struct passwd* found = nullptr;
  int rc;
  while ((rc = getpwuid_r(uid, &p, buf.data(), buf.size(), &found)) == ERANGE &&
         buf.size() < (1u << 20))
    buf.resize(buf.size() * 2);
  return rc == 0 && found && found->pw_name ? std::string(found->pw_name) : std::to_string(uid);
}

bool InGroup(gid_t gid) {
  if (getegid() == gid) return true;
  const int n = getgroups(0, nullptr);
  if (n <= 0) return false;
  std::vector<gid_t> groups(static_cast<std::size_t>(n));
  const int got = getgroups(n, groups.data());
  for (int i = 0; i < got; ++i)
    if (groups[static_cast<std::size_t>(i)] == gid) return true;
  return false;
}

}  // namespace

std::string DeviceAccessHint(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  if ((st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP)) {
    if (InGroup(st.st_gid)) return {};
    const std::string group = GroupName(st.st_gid);
    return "To open " + path + " you must be in its group '" + group +
           "': add yourself (sudo usermod -aG " + group + " $USER) and log in again.";
  }
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  return "Only its owner '" + UserName(st.st_uid) + "' may open " + path + " (permissions " + mode +
         ").";
}

}  // namespace talmo
