// A non-owning reference to a callable.
//
// Holds a pointer to the callable, or the function itself, and one to a call
// thunk; copying it never allocates.  A referenced callable object must
// outlive every call through it (a temporary one lives until the end of the
// full expression that passes it); a plain function is held by its address.
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
  using Function = R(Args...);

  template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, FunctionRef> && !std::is_function_v<std::remove_reference_t<F>> &&
             !std::is_pointer_v<std::remove_cvref_t<F>> && std::is_invocable_r_v<R, F&, Args...>)
  FunctionRef(F&& f) noexcept  // NOLINT: implicit by design, like a function pointer
      : call_(&call_object<std::remove_reference_t<F>>) {
    target_.object = const_cast<void*>(static_cast<const void*>(std::addressof(f)));
  }

  // A plain function, held by its address (never null).
  FunctionRef(Function* function) noexcept : call_(&call_function) {  // NOLINT: implicit by design
    target_.function = function;
  }

  R operator()(Args... args) const { return call_(target_, std::forward<Args>(args)...); }

 private:
  union Target {
    void* object;
    Function* function;
  };

  template <class F>
  static R call_object(Target target, Args... args) {
    return std::invoke(*static_cast<F*>(target.object), std::forward<Args>(args)...);
  }
  static R call_function(Target target, Args... args) { return target.function(std::forward<Args>(args)...); }

  Target target_;
  R (*call_)(Target, Args...);
};

}  // namespace rowmerge
