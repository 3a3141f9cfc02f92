// Test helper: HMAC-SHA256 and SHA-256 from an independent implementation (Python's hmac and
// hashlib in one child process per batch), so signature tests never trust the code under test.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vrk {

inline std::string test_hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

// One result per (key, message): the HMAC-SHA256 in lower-case hex, or the SHA-256 of the
// message when the key is empty. An empty vector when the reference could not be run.
inline std::vector<std::string> reference_digests(
    const std::vector<std::pair<std::string, std::string>>& items) {
  char path[] = "/tmp/vrk_sign_XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) {
    return {};
  }
  std::string input;
  for (const auto& [key, msg] : items) {
    input += (key.empty() ? "-" : test_hex(key)) + " " + (msg.empty() ? "-" : test_hex(msg)) + "\n";
  }
  bool written = write(fd, input.data(), input.size()) == static_cast<ssize_t>(input.size());
  close(fd);
  std::vector<std::string> out;
  std::string cmd =
      "/usr/bin/python3 -c 'import sys,hmac,hashlib\n"
      "for line in open(sys.argv[1]):\n"
      "  k,m=[b\"\" if f==\"-\" else bytes.fromhex(f) for f in line.split()]\n"
      "  print(hmac.new(k,m,hashlib.sha256).hexdigest() if k else hashlib.sha256(m).hexdigest())"
      "' ";
  cmd += path;
  FILE* p = written ? popen(cmd.c_str(), "r") : nullptr;
  if (p != nullptr) {
    char line[128];
    while (fgets(line, sizeof line, p) != nullptr) {
      out.emplace_back(line, strnlen(line, 64));
    }
    pclose(p);
  }
  unlink(path);
  if (out.size() != items.size()) {
    out.clear();
  }
  return out;
}

inline std::string reference_hmac(const std::string& key, const std::string& msg) {
  std::vector<std::string> r = reference_digests({{key, msg}});
  return r.empty() ? "" : r[0];
}

inline std::string reference_sha256(const std::string& msg) {
  std::vector<std::string> r = reference_digests({{"", msg}});
  return r.empty() ? "" : r[0];
}

}  // namespace vrk
