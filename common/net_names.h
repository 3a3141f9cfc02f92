// The names both programs must agree on: the network program, the account it runs as, and the
// descriptors (with their command-line options) through which vrk_sched hands it the IPC socket
// and the API's listening socket.
#pragma once

namespace vrk {

inline constexpr char kNetProgram[] = "vrk_sched_net";
inline constexpr char kNetAccount[] = "arvenna-api";

inline constexpr int kNetIpcFd = 3;
inline constexpr int kNetListenFd = 4;
inline constexpr char kNetIpcFdOption[] = "--ipc-fd";
inline constexpr char kNetListenFdOption[] = "--listen-fd";

// The descriptor numbers as command-line words.
static_assert(kNetIpcFd >= 0 && kNetIpcFd <= 9 && kNetListenFd >= 0 && kNetListenFd <= 9);
inline constexpr char kNetIpcFdWord[] = {static_cast<char>('0' + kNetIpcFd), '\0'};
inline constexpr char kNetListenFdWord[] = {static_cast<char>('0' + kNetListenFd), '\0'};

}  // namespace vrk
