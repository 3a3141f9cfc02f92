// `vrk_sched run` end to end against its floor, interleaved in one process so both see the same
// machine load. The job's program is the stand-in of tests/standins (it exits 0); the floor is
// what a run cannot avoid: fork, exec and wait of that same program plus two 44 KiB queue-sized
// write+fsync+rename cycles (RUNNING before, the result after). Prints the medians and their
// ratio. Usage: run_bench [rounds] (default 100).

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

constexpr size_t kQueueBytes = 44 * 1024;
constexpr double kTargetRatio = 1.5;

// fork, exec (PATH search), wait; output to /dev/null. The exit status, or -1.
int run_program(const std::vector<const char*>& argv) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) {
    return -1;
  }
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    execvp(argv[0], const_cast<char* const*>(argv.data()));
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool replace_file(const std::string& path, const std::vector<char>& bytes) {
  std::string tmp = path + ".tmp";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    return false;
  }
  bool ok =
      write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  return ok && rename(tmp.c_str(), path.c_str()) == 0;
}

double now_ms() {
  struct timespec ts = {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? atoi(argv[1]) : 100;
  if (rounds < 1) {
    fprintf(stderr, "usage: run_bench [rounds]\n");
    return 2;
  }
  const char* tmp_root = getenv("TMPDIR") != nullptr ? getenv("TMPDIR") : "/tmp";
  std::string dir = std::string(tmp_root) + "/vrk-run-bench-XXXXXX";
  if (mkdtemp(dir.data()) == nullptr) {
    perror("mkdtemp");
    return 1;
  }
  std::string path = std::string(VRK_SOURCE_DIR) + "/tests/standins:" + getenv("PATH");
  setenv("PATH", path.c_str(), 1);
  std::string cfg = dir + "/bench.cfg";
  std::string queue = dir + "/queue.state";
  std::string jobs = dir + "/jobs";
  std::string floor_file = dir + "/floor.state";
  FILE* f = fopen(cfg.c_str(), "w");
  if (f == nullptr) {
    perror("config");
    return 1;
  }
  fputs("[bench]\ncommand = agent\nschedule = 0 0 1 1 *\n", f);
  fclose(f);

  const std::vector<const char*> run_argv = {
      VRK_SCHED_PATH, "run",           "bench",      "--config",       cfg.c_str(), "--queue",
      queue.c_str(),  "--job-log-dir", jobs.c_str(), "--job-log-keep", "3",         "--no-log",
      "--no-syslog",  nullptr};
  const std::vector<const char*> floor_argv = {"vrk_agent", nullptr};
  const std::vector<char> bytes(kQueueBytes, 'q');

  auto time_run = [&]() {
    double t0 = now_ms();
    if (run_program(run_argv) != 0) {
      fprintf(stderr, "vrk_sched run failed\n");
      exit(1);
    }
    return now_ms() - t0;
  };
  auto time_floor = [&]() {
    double t0 = now_ms();
    if (run_program(floor_argv) != 0 || !replace_file(floor_file, bytes) ||
        !replace_file(floor_file, bytes)) {
      fprintf(stderr, "floor round failed\n");
      exit(1);
    }
    return now_ms() - t0;
  };

  for (int i = 0; i < 3; ++i) {  // warm the page cache and the dynamic linker's files
    time_run();
    time_floor();
  }
  std::vector<double> run_ms, floor_ms;
  for (int i = 0; i < rounds; ++i) {
    // Alternate the order so neither side always follows the other's fsyncs.
    if (i % 2 == 0) {
      run_ms.push_back(time_run());
      floor_ms.push_back(time_floor());
    } else {
      floor_ms.push_back(time_floor());
      run_ms.push_back(time_run());
    }
  }
  double run_med = median(run_ms);
  double floor_med = median(floor_ms);
  printf("vrk_sched run: median %.2f ms (p10 %.2f, p90 %.2f) over %d rounds\n", run_med,
         percentile(run_ms, 0.1), percentile(run_ms, 0.9), rounds);
  printf("floor:         median %.2f ms (p10 %.2f, p90 %.2f)\n", floor_med,
         percentile(floor_ms, 0.1), percentile(floor_ms, 0.9));
  printf("ratio:         %.2fx (target under %.1fx)\n", run_med / floor_med, kTargetRatio);

  std::string rm = "rm -rf '" + dir + "'";
  if (system(rm.c_str()) != 0) {
    fprintf(stderr, "could not remove %s\n", dir.c_str());
  }
  return 0;
}
