// Reference-counted interfaces. An interface is an abstract class that derives virtually from
// IInterface; an object that implements interfaces derives from TInterfacedObject, whose count
// starts at 0 and which destroys itself when the last reference is released. RefPtr<T> is the
// interface variable: it adds a reference when it takes an object and releases it when it lets
// go, so an object lives exactly as long as any reference to it exists. The count is atomic: a
// reference may be taken and let go on any thread, and the object goes on the thread that lets go
// of the last one; nothing else about an object is made safe to share by that.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "platform/rtl/Classes.h"

class IInterface {
 public:
  virtual int32_t _AddRef() = 0;
  virtual int32_t _Release() = 0;

 protected:
  virtual ~IInterface() = default;
};

class TInterfacedObject : public TObject, public virtual IInterface {
 public:
  int32_t _AddRef() override { return ++FRefCount; }
  // Destroys the object when the count reaches 0.
  int32_t _Release() override;
  int32_t RefCount() const { return FRefCount; }

 protected:
  std::atomic<int32_t> FRefCount{0};
};

template <class T>
class RefPtr {
 public:
  RefPtr() = default;
  RefPtr(std::nullptr_t) {}
  RefPtr(T* p) : FPtr(p) { AddRef(); }
  RefPtr(const RefPtr& other) : FPtr(other.FPtr) { AddRef(); }
  RefPtr(RefPtr&& other) noexcept : FPtr(std::exchange(other.FPtr, nullptr)) {}
  template <class U>
  RefPtr(const RefPtr<U>& other) : FPtr(other.get()) { AddRef(); }
  ~RefPtr() { Release(); }

  RefPtr& operator=(const RefPtr& other) {
    RefPtr(other).swap(*this);
    return *this;
  }
  RefPtr& operator=(RefPtr&& other) noexcept {
    RefPtr(std::move(other)).swap(*this);
    return *this;
  }
  RefPtr& operator=(std::nullptr_t) {
    reset();
    return *this;
  }

  void reset() { RefPtr().swap(*this); }
  // Lets go of the object without releasing the reference it held.
  T* release() { return std::exchange(FPtr, nullptr); }
  void swap(RefPtr& other) noexcept { std::swap(FPtr, other.FPtr); }
  T* get() const { return FPtr; }
  T* operator->() const { return FPtr; }
  T& operator*() const { return *FPtr; }
  explicit operator bool() const { return FPtr != nullptr; }
  bool operator==(const RefPtr& other) const { return FPtr == other.FPtr; }
  bool operator==(std::nullptr_t) const { return FPtr == nullptr; }

 private:
  void AddRef() {
    if (FPtr) FPtr->_AddRef();
  }
  void Release() {
    if (FPtr) std::exchange(FPtr, nullptr)->_Release();
  }
  T* FPtr = nullptr;
};

// The interface U of an object behind an interface T, or null when it has none.
template <class U, class T>
RefPtr<U> Supports(const RefPtr<T>& p) {
  return RefPtr<U>(dynamic_cast<U*>(p.get()));
}
