#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace halvorine::testing {

struct RunOptions {
  std::string stdinData;
  // Close the child's standard input without writing (instead of an empty pipe).
  bool closeStdin = false;
  // Variables set (or, with nullopt, removed) in the child's environment.
  std::map<std::string, std::optional<std::string>> env;
  // Run the child as this user and group (the caller must be root), with no supplementary groups.
  std::optional<uid_t> uid;
  std::optional<gid_t> gid;
  std::chrono::milliseconds timeout = std::chrono::seconds(60);
};

struct RunResult {
  int exitStatus = -1;  // -1 when killed by a signal or timed out
  int signal = 0;
  bool timedOut = false;
  std::string out;
  std::string err;
};

// Options for a program that talks to the X display `display` (":N"), or that finds no display.
RunOptions onDisplay(const std::string& display, std::string stdinData = {});
RunOptions withoutDisplay(std::string stdinData = {});

// Runs a program to its end, feeding stdinData and collecting both output streams.
RunResult runProcess(const std::vector<std::string>& argv, const RunOptions& options = {});

// The mean wall time of one whole run of the program, in milliseconds, over `runs` runs after one
// that warms the page cache; *allOk turns false when a run does not end with status 0.
double averageRunMs(const std::vector<std::string>& argv, const RunOptions& options, int runs,
                    bool* allOk);

// Folder of the suite's programs (set by the build through HALVORINE_BIN_DIR).
std::string binaryPath(const std::string& name);

// A child process with pipes to its standard input and output, for line-by-line conversations.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, const RunOptions& options = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool write(const std::string& data);
  // One line without its line feed, or nullopt at end of output or after the timeout.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // The same line left in the kept buffer, valid until the next read: a capture line of a
  // megabyte is neither copied nor read into fresh memory.
  std::optional<std::string_view> readLineView(
      std::chrono::milliseconds timeout = std::chrono::seconds(30));
  void closeStdin();
  // Closes our end of the child's standard output, as a host that goes away does.
  void closeStdout();
  // Waits for the end of the process; returns the exit status (-1 for a signal or time-out).
  int wait(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // Everything the child wrote to standard error so far (read at wait()).
  const std::string& err() const { return err_; }
  pid_t pid() const { return pid_; }
  // Peak resident memory of the child in KiB, known after wait().
  long maxRssKb() const { return maxRssKb_; }
  // The signal that ended the child, 0 if it exited; known after wait().
  int termSignal() const { return termSignal_; }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  int errFd_ = -1;
  std::string buffer_;
  size_t handedOut_ = 0;  // the bytes of the line readLineView() last gave
  std::string err_;
  int status_ = -2;
  long maxRssKb_ = 0;
  int termSignal_ = 0;
};

// The mouse_move requests per second that an input helper started with --stream answers when
// a thread of its own writes `count` of them ahead while the answers are read, as a host that
// sends ahead would do; 0 when an answer is missing or not ok. Closes the helper's input and
// waits for it.
double pipelinedMoveThroughput(ChildProcess& helper, int count);

}  // namespace halvorine::testing
