#include "module/boundary.hpp"

namespace rowmerge::module {

void set_abort_exception(const Abort& abort) noexcept {
  const std::string& message = abort.message();
  py::set_panic_exception(message.empty() ? std::string_view("panic from Rust code") : std::string_view(message));
}

}  // namespace rowmerge::module
