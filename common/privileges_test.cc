#include "common/privileges.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "common/fd.h"

namespace vrk {
namespace {

struct ChildResult {
  int exit_code = -1;
  std::string log;  // what the child wrote to standard error
};

// Runs body in a forked child whose standard error goes into a temporary file; the child's
// exit status is body's result. Privileges never change in the test process itself.
template <typename F>
ChildResult run_in_child(F body) {
  char path[] = "/tmp/vrk_priv_XXXXXX";
  UniqueFd log(mkostemp(path, O_CLOEXEC));
  EXPECT_TRUE(log.valid());
  unlink(path);
  ChildResult res;
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(log.get(), STDERR_FILENO);
    _exit(body());
  }
  int ws = 0;
  EXPECT_EQ(waitpid(pid, &ws, 0), pid);
  if (WIFEXITED(ws)) {
    res.exit_code = WEXITSTATUS(ws);
  }
  char buf[4096];
  ssize_t n = pread(log.get(), buf, sizeof buf, 0);
  if (n > 0) {
    res.log.assign(buf, static_cast<size_t>(n));
  }
  return res;
}

const struct passwd* nobody_or_skip() {
  const struct passwd* pw = getpwnam("nobody");
  return pw != nullptr && pw->pw_uid != 0 ? pw : nullptr;
}

TEST(DropPrivileges, DropsToAccountForGood) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root";
  }
  const struct passwd* pw = nobody_or_skip();
  if (pw == nullptr) {
    GTEST_SKIP() << "needs the account 'nobody'";
  }
  const uid_t uid = pw->pw_uid;
  const gid_t gid = pw->pw_gid;
  ChildResult r = run_in_child([&] {
    if (drop_privileges("nobody") != 0) {
      return 10;
    }
    if (getuid() != uid || geteuid() != uid || getgid() != gid || getegid() != gid) {
      return 11;
    }
    gid_t groups[64];
    int n = getgroups(64, groups);
    for (int i = 0; i < n; ++i) {
      if (groups[i] == 0) {
        return 12;
      }
    }
    if (setuid(0) == 0 || seteuid(0) == 0) {
      return 13;
    }
    return 0;
  });
  EXPECT_EQ(r.exit_code, 0);
  char want[128];
  snprintf(want, sizeof want, "INFO  dropped root, now running as nobody (uid=%d gid=%d)\n",
           static_cast<int>(uid), static_cast<int>(gid));
  EXPECT_NE(r.log.find(want), std::string::npos) << r.log;
}

TEST(DropPrivileges, MissingAccountIsLoggedAndRefused) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root";
  }
  ChildResult r = run_in_child([] {
    if (drop_privileges("vrk-no-such-user") != -1) {
      return 10;
    }
    return getuid() == 0 ? 0 : 11;
  });
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.log.find("ERROR running as root, but the 'vrk-no-such-user' user does not exist: "
                       "run 'vrk_setup --repair' or create it manually (useradd --system "
                       "vrk-no-such-user) first\n"),
            std::string::npos)
      << r.log;
}

TEST(DropPrivileges, NotRootChangesNothing) {
  const struct passwd* pw = nobody_or_skip();
  const uid_t uid = pw != nullptr ? pw->pw_uid : 0;
  const gid_t gid = pw != nullptr ? pw->pw_gid : 0;
  if (geteuid() == 0 && pw == nullptr) {
    GTEST_SKIP() << "needs the account 'nobody' to leave root";
  }
  ChildResult r = run_in_child([&] {
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)) {
      return 10;
    }
    const uid_t before = getuid();
    if (drop_privileges("root") != 0 || drop_privileges("vrk-no-such-user") != 0) {
      return 11;
    }
    return getuid() == before ? 0 : 12;
  });
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.log, "");
}

}  // namespace
}  // namespace vrk
