// Test helper: a temporary directory with a configuration file, an ApiState over it, and one
// call answered through the router with a chosen token role (authentication is handle_test's).
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/log.h"
#include "common/text.h"
#include "sched/api/router.h"
#include "sched/api/state.h"
#include "sched/config_load.h"
#include "sched/config_write.h"
#include "sched/queue.h"

namespace vrk {

inline bool test_write_file(const std::string& path, const std::string& text) {
  std::string tmp = path + ".tmp";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    return false;
  }
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return ok && rename(tmp.c_str(), path.c_str()) == 0;
}

inline std::string test_read_file(const std::string& path) {
  std::string out;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return out;
  }
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) {
    out.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return out;
}

class ApiCallTest : public testing::Test {
 protected:
  void SetUp() override {
    log_init("vrk_sched", kLogError);
    char tmpl[] = "/tmp/vrk_route_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    config_path = dir + "/vrk_sched.cfg";
    queue.path[0] = '\0';
    loaded = config_new();
    ASSERT_TRUE(loaded);
    state = std::make_unique<ApiState>();
    api_state_init(*state, config_path.c_str(), (dir + "/queue.state").c_str(), dir.c_str(),
                   loaded.get(), &queue);
    text_copy_cut(queue.path, dir + "/queue.state");
  }

  void TearDown() override {
    config_free(*loaded);
    queue_free(queue);
    std::string cmd = "chmod -R u+rwx '" + dir + "' && rm -rf '" + dir + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }

  // Writes the configuration file and loads it as the daemon's configuration too.
  void configure(const std::string& text) {
    ASSERT_TRUE(test_write_file(config_path, text));
    config_free(*loaded);
    char err[kConfigErrSize];
    ASSERT_EQ(config_load(config_path.c_str(), *loaded, err), 0) << err;
  }

  std::string answer(const char* method, const std::string& path, const std::string& query = "",
                     const std::string& body = "", TokenRole role = TokenRole::kAdmin) {
    return answer_if_match(method, path, query, body, "", role);
  }

  // The same with an If-Match header (empty: none).
  std::string answer_if_match(const char* method, const std::string& path, const std::string& query,
                              const std::string& body, const std::string& if_match,
                              TokenRole role = TokenRole::kAdmin) {
    ApiRequest request;
    text_copy_cut(request.method, method);
    text_copy_cut(request.path, path);
    text_copy_cut(request.query, query);
    text_copy_cut(request.if_match, if_match);
    text_copy_cut(request.client_address, "192.0.2.1");
    request.body = reinterpret_cast<const uint8_t*>(body.data());
    request.body_length = static_cast<uint32_t>(body.size());
    ApiCall call;
    api_call_init(call, state.get(), request, response);
    text_copy_cut(call.token_name, "tester");
    call.role = role;
    api_route(call);
    return std::string(reinterpret_cast<const char*>(response.body), response.body_length);
  }

  // The configuration file's ETag now.
  std::string etag() {
    std::string text;
    char tag[kConfigEtagSize] = {};
    EXPECT_EQ(config_read_with_etag(config_path.c_str(), text, tag), 0);
    return tag;
  }

  // The paths of the history copies, oldest first (their names sort by time).
  std::vector<std::string> history_paths() {
    std::vector<std::string> paths;
    DIR* d = opendir(state->history_dir);
    if (d == nullptr) {
      return paths;
    }
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') {
        paths.push_back(std::string(state->history_dir) + "/" + e->d_name);
      }
    }
    closedir(d);
    std::sort(paths.begin(), paths.end());
    return paths;
  }

  std::string dir;
  std::string config_path;
  SchedConfigPtr loaded;
  QueueState queue;
  std::unique_ptr<ApiState> state;
  ApiResponse response;
};

inline std::string test_error_body(const char* code, const std::string& message) {
  return std::string("{\"error\":{\"code\":\"") + code + "\",\"message\":\"" + message + "\"}}";
}

}  // namespace vrk
