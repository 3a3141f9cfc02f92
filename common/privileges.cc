#include "common/privileges.h"

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

#include "common/log.h"

namespace vrk {

int drop_privileges(const char* account_name) {
  if (geteuid() != 0) {
    return 0;
  }
  const char* name = account_name != nullptr ? account_name : "";
  // Looked up into our own buffer: getpwnam's static record could be overwritten by the
  // initgroups call that follows.
  struct passwd pw = {};
  struct passwd* found = nullptr;
  char buf[4096];
  if (getpwnam_r(name, &pw, buf, sizeof buf, &found) != 0 || found == nullptr) {
    log_msg(kLogError,
            "running as root, but the '%s' user does not exist: run 'vrk_setup --repair' or "
            "create it manually (useradd --system %s) first",
            name, name);
    return -1;
  }
  if (initgroups(pw.pw_name, pw.pw_gid) != 0) {
    log_msg(kLogError, "initgroups(%s) failed: %s", pw.pw_name, strerror(errno));
    return -1;
  }
  if (setgid(pw.pw_gid) != 0) {
    log_msg(kLogError, "setgid(%d) failed: %s", static_cast<int>(pw.pw_gid), strerror(errno));
    return -1;
  }
  if (setuid(pw.pw_uid) != 0) {
    log_msg(kLogError, "setuid(%d) failed: %s", static_cast<int>(pw.pw_uid), strerror(errno));
    return -1;
  }
  if (setuid(0) == 0) {
    log_msg(kLogError, "could still regain root after dropping privileges: refusing to continue");
    return -1;
  }
  log_msg(kLogInfo, "dropped root, now running as %s (uid=%d gid=%d)", pw.pw_name,
          static_cast<int>(pw.pw_uid), static_cast<int>(pw.pw_gid));
  return 0;
}

}  // namespace vrk
