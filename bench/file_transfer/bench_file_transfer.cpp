// Times each file operation of HalvorineFileTransferHelper as a whole process (start, request,
// answer, exit) against `mv -n` moving the same kind of file, and prints the medians.
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int rounds = 300;
// The helper refuses root, so as root both programs run as this unprivileged id.
constexpr uid_t benchUid = 4242;

std::string binDir() {
  const char* dir = std::getenv("HALVORINE_BIN_DIR");
  if (dir) return dir;
  return std::filesystem::canonical("/proc/self/exe").parent_path();
}

bool asRoot() {
  return geteuid() == 0;
}

void makeFile(const std::string& path) {
  std::ofstream(path) << std::string(4096, 'x');
  if (asRoot() && chown(path.c_str(), benchUid, benchUid) != 0) std::exit(2);
}

// Runs argv with `input` on its standard input and the output discarded; returns the wall time in
// microseconds, or -1 if it failed.
double timed(const std::vector<std::string>& argv, const std::string& input) {
  int in[2];
  if (pipe(in) != 0) return -1;
  if (!input.empty() && write(in[1], input.data(), input.size()) != ssize_t(input.size())) {
    return -1;
  }
  close(in[1]);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    const int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 1);
    dup2(devnull, 2);
    if (asRoot() &&
        (setgroups(0, nullptr) != 0 || setgid(benchUid) != 0 || setuid(benchUid) != 0)) {
      _exit(126);
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(in[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  const auto end = std::chrono::steady_clock::now();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return std::chrono::duration<double, std::micro>(end - start).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main() {
  const std::string helper = binDir() + "/HalvorineFileTransferHelper";
  char tmpl[] = "/tmp/hft-bench.XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  if (asRoot() && chown(dir.c_str(), benchUid, benchUid) != 0) return 2;
  const std::string src = dir + "/in", dst = dir + "/out", mvSrc = dir + "/mv-in",
                    mvDst = dir + "/mv-out";

  struct Row {
    const char* op;
    std::vector<double> helper, mv;
  };
  std::vector<Row> rows = {{"move_no_replace", {}, {}},
                           {"replace_atomically", {}, {}},
                           {"apply_quarantine", {}, {}},
                           {"read_quarantine", {}, {}}};
  bool failed = false;
  for (int i = 0; i < rounds && !failed; ++i) {
    for (auto& row : rows) {
      const std::string op = row.op;
      for (const auto& p : {src, dst, mvSrc, mvDst}) unlink(p.c_str());
      makeFile(src);
      makeFile(mvSrc);
      if (op == "replace_atomically") makeFile(dst);
      std::string request = R"({"operation":")" + op + R"(","sourcePath":")" + src + "\"";
      if (op == "move_no_replace" || op == "replace_atomically") {
        request += R"(,"destinationPath":")" + dst + "\"";
      }
      request += "}\n";
      const double h = timed({helper}, request);
      const double m = timed({"/usr/bin/mv", "-n", mvSrc, mvDst}, "");
      if (h < 0 || m < 0) {
        std::printf("%s failed in round %d\n", row.op, i);
        failed = true;
        break;
      }
      row.helper.push_back(h);
      row.mv.push_back(m);
    }
  }
  std::filesystem::remove_all(dir);
  if (failed) return 1;
  std::printf("file transfer helper vs `mv -n`, whole process, median of %d runs%s\n", rounds,
              asRoot() ? " (as uid 4242)" : "");
  std::printf("%-20s %12s %12s %7s  %s\n", "operation", "helper (us)", "mv -n (us)", "ratio",
              "goal <= 1.5");
  for (const auto& row : rows) {
    const double h = median(row.helper), m = median(row.mv);
    std::printf("%-20s %12.0f %12.0f %7.2f  %s\n", row.op, h, m, h / m,
                h / m <= 1.5 ? "met" : "MISSED");
  }
  return 0;
}
