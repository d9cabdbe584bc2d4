// Process-wide service slots.
//
// A service global (Config, Log, DB, ...) is a TOVService<T>.  Readers take a counted
// reference with Get(); the service can't be deleted while any reference is alive.  Start-up
// publishes a fully built object; shutdown retires it: the slot is cleared first (new readers
// see "absent"), then Retire waits, bounded, for the readers already inside, then the caller
// deletes.  A service still in use when the wait ends is reported by name and left undeleted:
// a stuck thread may still be using it, and freeing it under that thread would be worse than
// keeping it until the process ends.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

namespace ov {

class ServiceUnavailable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// How long Retire waits for the users of a service unless told otherwise.
inline constexpr std::chrono::milliseconds kRetireWait{2000};

// A shutdown step's announcement ("[shutdown] <name>"); the stop functions of the service
// table receive it.
using TOVStepFn = std::function<void(const std::string& name)>;

// Logs "Service %s still in use after %d ms; left undeleted" and counts the service.
void ReportServiceLeftInUse(const char* name, std::chrono::milliseconds waited) noexcept;
// How many services Retire has left undeleted in this process.
std::size_t ServicesLeftInUse() noexcept;

template <class T>
class TOVService {
 public:
  class Ref {
   public:
    Ref() = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : owner_(o.owner_), ptr_(o.ptr_) { o.owner_ = nullptr; o.ptr_ = nullptr; }
    Ref& operator=(Ref&& o) noexcept {
      if (this != &o) { Release(); owner_ = o.owner_; ptr_ = o.ptr_; o.owner_ = nullptr; o.ptr_ = nullptr; }
      return *this;
    }
    ~Ref() { Release(); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    T* get() const noexcept { return ptr_; }
    T* operator->() const {
      if (!ptr_) throw ServiceUnavailable("service not available");
      return ptr_;
    }
    T& operator*() const {
      if (!ptr_) throw ServiceUnavailable("service not available");
      return *ptr_;
    }

   private:
    friend class TOVService;
    Ref(const TOVService* owner, T* ptr) : owner_(owner), ptr_(ptr) {}
    void Release() noexcept {
      if (owner_) owner_->users_.fetch_sub(1, std::memory_order_acq_rel);
      owner_ = nullptr;
      ptr_ = nullptr;
    }
    const TOVService* owner_ = nullptr;
    T* ptr_ = nullptr;
  };

  // name: how shutdown reports the service when it is still in use ("DB", "SessionMgr").
  constexpr explicit TOVService(const char* name = "(unnamed)") noexcept : name_(name) {}
  TOVService(const TOVService&) = delete;
  TOVService& operator=(const TOVService&) = delete;

  const char* Name() const noexcept { return name_; }

  // A counted reference; empty when the service is absent.
  Ref Get() const noexcept {
    users_.fetch_add(1, std::memory_order_seq_cst);
    T* p = ptr_.load(std::memory_order_seq_cst);
    if (!p) {
      users_.fetch_sub(1, std::memory_order_acq_rel);
      return Ref();
    }
    return Ref(this, p);
  }

  // For one call: Service->Method(...) holds a reference for the full expression and throws
  // ServiceUnavailable when the service is absent.
  Ref operator->() const {
    Ref r = Get();
    if (!r) throw ServiceUnavailable("service not available");
    return r;
  }

  bool Exists() const noexcept { return ptr_.load(std::memory_order_acquire) != nullptr; }

  // Unsafe raw access for code that already holds a Ref or owns the lifecycle.
  T* Raw() const noexcept { return ptr_.load(std::memory_order_acquire); }

  void Publish(std::unique_ptr<T> obj) {
    T* old = ptr_.exchange(obj.release(), std::memory_order_seq_cst);
    if (old) throw std::logic_error("service published twice");
  }

  // Clears the slot, waits up to `bound` until no reference is alive, and hands the object
  // back.  Null when the service was absent, or when it is still in use after the wait: then
  // it is reported and left undeleted for good (the slot stays empty).
  std::unique_ptr<T> Retire(std::chrono::milliseconds bound = kRetireWait) noexcept {
    T* p = ptr_.exchange(nullptr, std::memory_order_seq_cst);
    if (!p) return nullptr;
    const auto until = std::chrono::steady_clock::now() + bound;
    while (users_.load(std::memory_order_seq_cst) != 0) {
      if (std::chrono::steady_clock::now() >= until) {
        ReportServiceLeftInUse(name_, bound);
        return nullptr;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return std::unique_ptr<T>(p);
  }

  // Retire and delete.
  void Free(std::chrono::milliseconds bound = kRetireWait) noexcept { Retire(bound).reset(); }

 private:
  const char* name_;
  std::atomic<T*> ptr_{nullptr};
  mutable std::atomic<long> users_{0};
};

// Shutdown of a plain service: announces "<name>.Free" and frees it; nothing (and no step) when
// the service is absent.
template <class T>
void FreeServiceStep(TOVService<T>& slot, const TOVStepFn& step) {
  if (!slot.Exists()) return;
  if (step) step(std::string(slot.Name()) + ".Free");
  slot.Free();
}

// Shutdown of a service that runs a thread: announces stop_step and tells the thread to end,
// then clears the slot, announces wait_step, waits for the thread and frees the object.
// Nothing (and no step) when the service is absent.
template <class T>
void StopThreadService(TOVService<T>& slot, const std::function<void(const std::string&)>& step,
                       const char* stop_step, void (T::*stop)() noexcept, const char* wait_step,
                       void (T::*wait)() noexcept) {
  if (auto s = slot.Get()) {
    if (step) step(stop_step);
    (s.get()->*stop)();
  }
  if (auto s = slot.Retire()) {
    if (step) step(wait_step);
    (s.get()->*wait)();
  }
}

}  // namespace ov
