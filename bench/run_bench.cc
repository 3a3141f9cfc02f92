// `vrk_sched run` end to end against its floor, interleaved in one process so both see the same
// machine load. The job's program is the stand-in of tests/standins (it exits 0); the floor is
// what a run cannot avoid: fork, exec and wait of that same program plus two 44 KiB queue-sized
// write+fsync+rename cycles (RUNNING before, the result after). Prints the medians and their
// ratio, and beside them, timed in the same rounds, the parts that explain the gap: the job's
// program alone, `vrk_sched --version` (loading the program and its libraries) and /bin/true
// (any fork, exec and wait). Usage: run_bench [rounds] [other-vrk_sched] (default 100 rounds);
// with another build of vrk_sched its run is timed in the same rounds too, for before/after.

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
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
    fprintf(stderr, "usage: run_bench [rounds] [other-vrk_sched]\n");
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

  const std::vector<const char*> version_argv = {VRK_SCHED_PATH, "--version", nullptr};
  const std::vector<const char*> true_argv = {"/bin/true", nullptr};

  auto time_program = [](const std::vector<const char*>& program) {
    double t0 = now_ms();
    if (run_program(program) != 0) {
      fprintf(stderr, "%s failed\n", program[0]);
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

  struct Series {
    const char* label;
    std::function<double()> time;
    std::vector<double> ms;
  };
  std::vector<const char*> other_argv = run_argv;
  other_argv[0] = argc > 2 ? argv[2] : nullptr;
  std::vector<Series> series = {
      {"vrk_sched run", [&] { return time_program(run_argv); }, {}},
      {"floor", time_floor, {}},
      {"job alone", [&] { return time_program(floor_argv); }, {}},
      {"--version", [&] { return time_program(version_argv); }, {}},
      {"/bin/true", [&] { return time_program(true_argv); }, {}},
  };
  if (other_argv[0] != nullptr) {
    series.push_back({"other run", [&] { return time_program(other_argv); }, {}});
  }
  for (int i = 0; i < 3; ++i) {  // warm the page cache and the dynamic linker's files
    for (Series& s : series) {
      s.time();
    }
  }
  for (int i = 0; i < rounds; ++i) {
    // Rotate the order so that no series always follows another's fsyncs.
    for (size_t k = 0; k < series.size(); ++k) {
      Series& s = series[(k + static_cast<size_t>(i)) % series.size()];
      s.ms.push_back(s.time());
    }
  }
  std::vector<double> med(series.size());
  for (size_t k = 0; k < series.size(); ++k) {
    const Series& s = series[k];
    med[k] = median(s.ms);
    printf("%-14s median %6.2f ms (p10 %6.2f, p90 %6.2f)\n", s.label, med[k], percentile(s.ms, 0.1),
           percentile(s.ms, 0.9));
  }
  printf("over %d rounds; floor = job alone + two 44 KiB saves\n", rounds);
  printf("ratio:         %.2fx (target under %.1fx)\n", med[0] / med[1], kTargetRatio);
  // The run is one process more than the floor: its start and end (/bin/true), loading
  // vrk_sched and its libraries (--version beyond that), and the rest, the run's own work
  // (configuration, lock, job log, pruning) less the floor's larger saves.
  printf("run - floor:   %.2f ms = a process %.2f + loading vrk_sched %.2f + the rest %.2f\n",
         med[0] - med[1], med[4], med[3] - med[4], med[0] - med[1] - med[3]);
  if (other_argv[0] != nullptr) {
    printf("other run:     %.2fx of the floor (%s)\n", med[5] / med[1], other_argv[0]);
  }

  std::string rm = "rm -rf '" + dir + "'";
  if (system(rm.c_str()) != 0) {
    fprintf(stderr, "could not remove %s\n", dir.c_str());
  }
  return 0;
}
