#include "net/sandbox.h"

#include <errno.h>
#include <linux/audit.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace vrk {
namespace {

// Runs the classic-BPF subset a seccomp filter of this shape uses over one call; returns the
// action word, or 0xffffffff for an instruction outside that subset or a jump off the end.
uint32_t run_filter(std::span<const sock_filter> prog, uint32_t arch, uint32_t nr) {
  seccomp_data data{};
  data.arch = arch;
  data.nr = static_cast<int>(nr);
  uint32_t acc = 0;
  for (size_t pc = 0; pc < prog.size(); ++pc) {
    const sock_filter& in = prog[pc];
    switch (in.code) {
      case BPF_LD | BPF_W | BPF_ABS:
        if (in.k == offsetof(seccomp_data, arch)) {
          acc = data.arch;
        } else if (in.k == offsetof(seccomp_data, nr)) {
          acc = static_cast<uint32_t>(data.nr);
        } else {
          return 0xffffffff;
        }
        break;
      case BPF_JMP | BPF_JEQ | BPF_K:
        pc += acc == in.k ? in.jt : in.jf;
        break;
      case BPF_JMP | BPF_JGE | BPF_K:
        pc += acc >= in.k ? in.jt : in.jf;
        break;
      case BPF_RET | BPF_K:
        return in.k;
      default:
        return 0xffffffff;
    }
  }
  return 0xffffffff;
}

constexpr uint32_t kEperm = SECCOMP_RET_ERRNO | EPERM;

TEST(SandboxFilter, DeniesTheListedCallsInOrder) {
  const char* const want[] = {"execve",
                              "execveat",
                              "ptrace",
                              "process_vm_readv",
                              "process_vm_writev",
                              "mount",
                              "umount2",
                              "pivot_root",
                              "chroot",
                              "unshare",
                              "setns",
                              "kexec_load",
                              "kexec_file_load",
                              "init_module",
                              "finit_module",
                              "delete_module",
                              "bpf",
                              "keyctl",
                              "add_key",
                              "request_key",
                              "personality",
                              "perf_event_open",
                              "userfaultfd",
                              "open_by_handle_at",
                              "fsopen",
                              "fsmount",
                              "move_mount",
                              "open_tree",
                              "pidfd_getfd",
                              "swapon",
                              "swapoff",
                              "reboot",
                              "acct"};
  std::span<const SandboxCall> calls = sandbox_denied_calls();
  ASSERT_EQ(calls.size(), std::size(want));
  EXPECT_EQ(sandbox_filter().size(), 73u);
  for (size_t i = 0; i < calls.size(); ++i) {
    SCOPED_TRACE(want[i]);
    EXPECT_STREQ(calls[i].name, want[i]);
    EXPECT_EQ(run_filter(sandbox_filter(), AUDIT_ARCH_X86_64, calls[i].nr), kEperm);
    // The call's own test sits at 6 + 2i, so the list order is the test order.
    EXPECT_EQ(sandbox_filter()[6 + 2 * i].k, static_cast<uint32_t>(calls[i].nr));
  }
  EXPECT_EQ(calls[0].nr, SYS_execve);
  EXPECT_EQ(calls[32].nr, SYS_acct);
}

TEST(SandboxFilter, DecidesByArchitectureAndNumber) {
  struct Case {
    const char* what;
    uint32_t arch;
    uint32_t nr;
    uint32_t want;
  };
  const Case cases[] = {
      {"i386 execve", AUDIT_ARCH_I386, 11, SECCOMP_RET_KILL_PROCESS},
      {"i386 getpid", AUDIT_ARCH_I386, 20, SECCOMP_RET_KILL_PROCESS},
      {"read", AUDIT_ARCH_X86_64, SYS_read, SECCOMP_RET_ALLOW},
      {"write", AUDIT_ARCH_X86_64, SYS_write, SECCOMP_RET_ALLOW},
      {"openat", AUDIT_ARCH_X86_64, SYS_openat, SECCOMP_RET_ALLOW},
      {"socket", AUDIT_ARCH_X86_64, SYS_socket, SECCOMP_RET_ALLOW},
      {"mmap", AUDIT_ARCH_X86_64, SYS_mmap, SECCOMP_RET_ALLOW},
      {"clone", AUDIT_ARCH_X86_64, SYS_clone, SECCOMP_RET_ALLOW},
      {"below x32", AUDIT_ARCH_X86_64, 0x3fffffff, SECCOMP_RET_ALLOW},
      {"x32 start", AUDIT_ARCH_X86_64, 0x40000000, kEperm},
      {"x32 getpid", AUDIT_ARCH_X86_64, 0x40000000 | SYS_getpid, kEperm},
      {"x32 execve", AUDIT_ARCH_X86_64, 0x40000000 | 520, kEperm},
      {"top", AUDIT_ARCH_X86_64, 0xffffffff, kEperm},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(run_filter(sandbox_filter(), c.arch, c.nr), c.want);
  }
}

// Runs checks in a forked child after sandbox_enter; the child's exit status is the number of
// the first failed check (0: all passed). The child ends with _exit: the filter denies the ptrace
// that LeakSanitizer would need at a normal exit.
TEST(SandboxEnter, ExecFailsWithEpermAfterwards) {
  fflush(nullptr);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    char err[256] = "";
    if (sandbox_enter(err) != 0) {
      _exit(10);
    }
    // A program that did start would end the child with 20, never 0.
    char* const argv[] = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"),
                          const_cast<char*>("exit 20"), nullptr};
    char* const envp[] = {nullptr};
    errno = 0;
    if (execve("/bin/sh", argv, envp) != -1 || errno != EPERM) {
      _exit(11);
    }
    errno = 0;
    if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != -1 || errno != EPERM) {
      _exit(12);
    }
    errno = 0;
    if (syscall(0x40000000 | SYS_getpid) != -1 || errno != EPERM) {
      _exit(13);
    }
    if (getpid() <= 0) {
      _exit(14);
    }
    if (prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) != 0) {
      _exit(15);
    }
    if (prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) != 1) {
      _exit(16);
    }
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0) << "failed check " << WEXITSTATUS(status);
}

}  // namespace
}  // namespace vrk
