#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

namespace halvorine {

// The one thread on which a capture platform talks to its display: jobs run in the order they
// were posted. The thread starts with the first job, so that a process that never captures has
// none. Stopping (or destroying) the worker drops the jobs still waiting, with their completions
// unrun, after the job that is running has finished.
class CaptureWorker {
 public:
  CaptureWorker() = default;
  ~CaptureWorker() { stop(); }
  CaptureWorker(const CaptureWorker&) = delete;
  CaptureWorker& operator=(const CaptureWorker&) = delete;

  void post(std::function<void()> job) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      jobs_.push_back(std::move(job));
      if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
    }
    cv_.notify_one();
  }

  // Waits for the running job; the waiting ones are dropped. An owner whose jobs use its members
  // stops the worker before they go.
  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    cv_.notify_one();
    if (thread_.joinable()) thread_.join();
    std::lock_guard lock(mutex_);
    jobs_.clear();
  }

  // Whether the calling thread is this worker's. Compared by thread id rather than marked in a
  // thread_local: a backend loaded with dlopen would get dynamic TLS, and LeakSanitizer's tracer
  // (GCC 12, glibc 2.36) crashes on it when the process exits.
  bool onWorker() const { return workerId_.load() == std::this_thread::get_id(); }

 private:
  void run() {
    workerId_.store(std::this_thread::get_id());
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (stopping_) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      job();
    }
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;
  std::thread thread_;
  std::atomic<std::thread::id> workerId_{};
};

}  // namespace halvorine
