// BackgroundRead: one worker thread per reading file, handed one read at a time.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "platform/platform.h"

namespace korvat::platform {
namespace {

// Waking a thread that sleeps costs a system call and, on a virtual machine,
// an interrupt between processors: tens of microseconds, as long as a read.
// Each side therefore watches for the other a while before it sleeps; a
// reader keeps pace with a split, so the wait is as a rule shorter than this.
constexpr auto kWatch = std::chrono::microseconds(200);

void relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

}  // namespace

struct BackgroundRead::Worker {
  std::mutex lock;
  std::condition_variable changed;
  std::thread thread;
  // The read asked for, and its outcome once done.
  FileHandle file = kInvalidHandle;
  void* buffer = nullptr;
  std::function<void(std::uint32_t)> then;
  std::uint32_t n = 0, delivered = 0;
  bool asked = false, done = false, ok = false, quit = false;
  // Set with `asked` and `done`, to be watched without the lock; the flags
  // under the lock alone decide.
  std::atomic<bool> askedSeen{false}, doneSeen{false};
  // On a single processor the one watching would keep the other from running.
  const bool watches = processorsAvailable() > 1;

  // Waits up to kWatch for `flag`, awake.
  void watch(const std::atomic<bool>& flag) const {
    if (!watches) return;
    const auto until = std::chrono::steady_clock::now() + kWatch;
    for (unsigned i = 1; !flag.load(std::memory_order_acquire); ++i) {
      relax();
      if (i % 64 == 0 && std::chrono::steady_clock::now() > until) return;
    }
  }

  bool hasWork() const { return quit || (asked && !done); }

  void run() {
    std::unique_lock<std::mutex> held(lock);
    for (;;) {
      if (!hasWork()) {
        held.unlock();
        watch(askedSeen);
        held.lock();
      }
      changed.wait(held, [this] { return hasWork(); });
      askedSeen.store(false, std::memory_order_relaxed);
      if (quit) return;
      held.unlock();
      std::uint32_t got = 0;
      const bool read = readFile(file, buffer, n, got, Source::File);
      if (then) then(got);
      held.lock();
      delivered = got;
      ok = read;
      done = true;
      doneSeen.store(true, std::memory_order_release);
      changed.notify_all();
    }
  }
};

BackgroundRead::BackgroundRead() = default;

BackgroundRead::~BackgroundRead() {
  if (!worker) return;
  {
    std::lock_guard<std::mutex> held(worker->lock);
    worker->quit = true;
    worker->askedSeen.store(true, std::memory_order_release);
  }
  worker->changed.notify_all();
  worker->thread.join();  // after the read in progress, if any
}

bool BackgroundRead::start(FileHandle file, void* buffer, std::uint32_t n, std::function<void(std::uint32_t)> then) {
  if (!worker) {
    std::unique_ptr<Worker> made(new (std::nothrow) Worker);
    if (!made) return false;
    bool started = false;
    startShieldedFromSignals([&] {
      try {
        made->thread = std::thread(&Worker::run, made.get());
        started = true;
      } catch (const std::system_error&) {
        // No thread: the caller reads for itself.
      }
    });
    if (!started) return false;
    worker = std::move(made);
  }
  {
    std::lock_guard<std::mutex> held(worker->lock);
    worker->file = file;
    worker->buffer = buffer;
    worker->n = n;
    worker->then = std::move(then);
    worker->asked = true;
    worker->done = false;
    worker->doneSeen.store(false, std::memory_order_relaxed);
    worker->askedSeen.store(true, std::memory_order_release);
  }
  worker->changed.notify_all();
  return true;
}

bool BackgroundRead::finish(std::uint32_t& delivered) {
  delivered = 0;
  if (!worker) return false;
  if (worker->asked) worker->watch(worker->doneSeen);  // only this thread sets `asked`
  std::unique_lock<std::mutex> held(worker->lock);
  worker->changed.wait(held, [this] { return !worker->asked || worker->done; });
  if (!worker->asked) return false;
  worker->asked = false;
  delivered = worker->delivered;
  return worker->ok;
}

}  // namespace korvat::platform
