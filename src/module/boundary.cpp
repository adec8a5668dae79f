#include "module/boundary.hpp"

namespace rowmerge::module {

void set_abort_exception(const Abort& abort) noexcept {
  // An empty text is a text: only an abort without any gets the stand-in.
  py::set_panic_exception(abort.has_text() ? std::string_view(abort.message())
                                           : std::string_view("panic from Rust code"));
}

}  // namespace rowmerge::module
