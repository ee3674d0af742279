// BackgroundRead: one worker thread per reading file, handed one read at a time.
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "platform/platform.h"

namespace korvat::platform {

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

  void run() {
    std::unique_lock<std::mutex> held(lock);
    for (;;) {
      changed.wait(held, [this] { return quit || (asked && !done); });
      if (quit) return;
      held.unlock();
      std::uint32_t got = 0;
      const bool read = readFile(file, buffer, n, got, Source::File);
      if (then) then(got);
      held.lock();
      delivered = got;
      ok = read;
      done = true;
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
  }
  worker->changed.notify_all();
  return true;
}

bool BackgroundRead::finish(std::uint32_t& delivered) {
  delivered = 0;
  if (!worker) return false;
  std::unique_lock<std::mutex> held(worker->lock);
  worker->changed.wait(held, [this] { return !worker->asked || worker->done; });
  if (!worker->asked) return false;
  worker->asked = false;
  delivered = worker->delivered;
  return worker->ok;
}

}  // namespace korvat::platform
