// Process-wide service slots.
//
// A service global (Config, Log, DB, ...) is a TOVService<T>.  Readers take a counted
// reference with Get(); the service can't be deleted while any reference is alive.  Start-up
// publishes a fully built object; shutdown retires it: the slot is cleared first (new readers
// see "absent"), then Retire waits for the readers already inside, then the caller deletes.
#pragma once

#include <atomic>
#include <chrono>
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

  TOVService() = default;
  TOVService(const TOVService&) = delete;
  TOVService& operator=(const TOVService&) = delete;

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

  // Clears the slot, waits until no reference is alive, and hands the object back.
  std::unique_ptr<T> Retire() noexcept {
    T* p = ptr_.exchange(nullptr, std::memory_order_seq_cst);
    if (!p) return nullptr;
    while (users_.load(std::memory_order_seq_cst) != 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return std::unique_ptr<T>(p);
  }

  // Retire and delete.
  void Free() noexcept { Retire().reset(); }

 private:
  std::atomic<T*> ptr_{nullptr};
  mutable std::atomic<long> users_{0};
};

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
