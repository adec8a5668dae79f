// A non-owning reference to a callable.
//
// Holds a pointer to the callable and one to a call thunk; copying it never
// allocates.  The referenced callable must outlive every call through it.
#pragma once

#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

namespace rowmerge {

template <class Sig>
class FunctionRef;

template <class R, class... Args>
class FunctionRef<R(Args...)> {
 public:
  template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, FunctionRef> && std::is_invocable_r_v<R, F&, Args...>)
  FunctionRef(F&& f) noexcept  // NOLINT: implicit by design, like a function pointer
      : object_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
        call_(&call_thunk<std::remove_reference_t<F>>) {}

  R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

 private:
  template <class F>
  static R call_thunk(void* object, Args... args) {
    return std::invoke(*static_cast<F*>(object), std::forward<Args>(args)...);
  }

  void* object_;
  R (*call_)(void*, Args...);
};

}  // namespace rowmerge
