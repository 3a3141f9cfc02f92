#include "net/sandbox.h"

#include <errno.h>
#include <linux/audit.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <array>
#include <iterator>

#include "common/error.h"

namespace vrk {

namespace {

constexpr SandboxCall kDenied[] = {
    {__NR_execve, "execve"},
    {__NR_execveat, "execveat"},
    {__NR_ptrace, "ptrace"},
    {__NR_process_vm_readv, "process_vm_readv"},
    {__NR_process_vm_writev, "process_vm_writev"},
    {__NR_mount, "mount"},
    {__NR_umount2, "umount2"},
    {__NR_pivot_root, "pivot_root"},
    {__NR_chroot, "chroot"},
    {__NR_unshare, "unshare"},
    {__NR_setns, "setns"},
    {__NR_kexec_load, "kexec_load"},
    {__NR_kexec_file_load, "kexec_file_load"},
    {__NR_init_module, "init_module"},
    {__NR_finit_module, "finit_module"},
    {__NR_delete_module, "delete_module"},
    {__NR_bpf, "bpf"},
    {__NR_keyctl, "keyctl"},
    {__NR_add_key, "add_key"},
    {__NR_request_key, "request_key"},
    // Personality flags can switch off address-space randomisation for later mappings.
    {__NR_personality, "personality"},
    {__NR_perf_event_open, "perf_event_open"},
    // Page-fault handling in user space is a well-known helper for kernel exploits.
    {__NR_userfaultfd, "userfaultfd"},
    // Opens files by handle, around every path-based permission check.
    {__NR_open_by_handle_at, "open_by_handle_at"},
    // The new mount interface, denied like mount itself.
    {__NR_fsopen, "fsopen"},
    {__NR_fsmount, "fsmount"},
    {__NR_move_mount, "move_mount"},
    {__NR_open_tree, "open_tree"},
    // Takes a descriptor out of another process.
    {__NR_pidfd_getfd, "pidfd_getfd"},
    {__NR_swapon, "swapon"},
    {__NR_swapoff, "swapoff"},
    {__NR_reboot, "reboot"},
    {__NR_acct, "acct"},
};
static_assert(std::size(kDenied) == kSandboxDeniedCount);

// Calls with this bit set use the x32 ABI, which would bypass every number test below.
constexpr uint32_t kX32Bit = 0x40000000;

constexpr sock_filter bpf_stmt(uint16_t code, uint32_t k) {
  return {code, 0, 0, k};
}

constexpr sock_filter bpf_jump(uint16_t code, uint32_t k, uint8_t jt, uint8_t jf) {
  return {code, jt, jf, k};
}

constexpr uint32_t kRetEperm = SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA);

using Program = std::array<sock_filter, 4 + 2 + 2 * std::size(kDenied) + 1>;

// Appends "if nr == call return EPERM" (two instructions).
constexpr size_t put_deny(Program& p, size_t at, int nr) {
  p[at] = bpf_jump(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(nr), 0, 1);
  p[at + 1] = bpf_stmt(BPF_RET | BPF_K, kRetEperm);
  return at + 2;
}

// Layout:
//   0  load arch; 1  arch == x86-64 ? skip 1; 2  kill;  3  load nr
//   4  nr >= x32 bit ? fall through : skip 1; 5  EPERM
//   6.. two instructions per denied call; last: allow
constexpr Program build_program() {
  Program p{};
  size_t at = 0;
  p[at++] = bpf_stmt(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch));
  p[at++] = bpf_jump(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0);
  p[at++] = bpf_stmt(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS);
  p[at++] = bpf_stmt(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr));
  p[at++] = bpf_jump(BPF_JMP | BPF_JGE | BPF_K, kX32Bit, 0, 1);
  p[at++] = bpf_stmt(BPF_RET | BPF_K, kRetEperm);
  for (const SandboxCall& c : kDenied) {
    at = put_deny(p, at, c.nr);
  }
  p[at++] = bpf_stmt(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
  return p;
}

constexpr Program kProgram = build_program();
static_assert(kProgram.size() == 73);
static_assert(kProgram.size() == kSandboxFilterLength);
static_assert(kProgram.back().code == (BPF_RET | BPF_K) && kProgram.back().k == SECCOMP_RET_ALLOW);

}  // namespace

std::span<const SandboxCall> sandbox_denied_calls() {
  return kDenied;
}

std::span<const sock_filter> sandbox_filter() {
  return kProgram;
}

int sandbox_enter(std::span<char> err) {
  if (prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) {
    err_set(err, "PR_SET_DUMPABLE: %s", strerror(errno));
    return -1;
  }
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    err_set(err, "PR_SET_NO_NEW_PRIVS: %s", strerror(errno));
    return -1;
  }
  // The kernel copies the program; it only reads through the pointer.
  sock_fprog prog{};
  prog.len = static_cast<unsigned short>(kProgram.size());
  prog.filter = const_cast<sock_filter*>(kProgram.data());
  if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog, 0, 0) != 0) {
    err_set(err, "seccomp: %s", strerror(errno));
    return -1;
  }
  return 0;
}

}  // namespace vrk
