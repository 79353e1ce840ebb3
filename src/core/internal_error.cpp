#include "core/internal_error.h"

#include <cstdio>

namespace orlo_kiv {

void internal_error(std::string message, std::source_location where) {
  std::fprintf(stderr, "orlo_kiv: internal error at %s:%u: %s\n", where.file_name(),
               static_cast<unsigned>(where.line()), message.c_str());
  throw InternalError(std::move(message));
}

std::string index_out_of_bounds_message(std::size_t len, std::size_t index) {
  return "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
         std::to_string(index);
}

}  // namespace orlo_kiv
