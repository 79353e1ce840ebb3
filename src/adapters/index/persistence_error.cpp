#include "adapters/index/persistence_error.h"

#include <cstring>

namespace orlo_kiv {
namespace {

// strerror_r comes in two shapes: the XSI one returns a status and fills the
// buffer, the GNU one returns the text (which may or may not be the buffer).
[[maybe_unused]] const char* strerror_result(int status, const char* buffer) {
  return status == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* strerror_result(const char* text, const char*) { return text; }

}  // namespace

std::string os_error_text(int error_number) {
  char buffer[256] = {};
  const char* text = strerror_result(strerror_r(error_number, buffer, sizeof buffer), buffer);
  std::string result = text != nullptr && *text != '\0' ? text : "Unknown error";
  return result + " (os error " + std::to_string(error_number) + ")";
}

std::string to_string(const PersistError& error) {
  switch (error.kind) {
    case PersistError::Kind::InvalidMagic:
      return "Invalid KIV file magic bytes";
    case PersistError::Kind::UnsupportedVersion:
      return "Unsupported KIV version: " + std::to_string(error.version);
    case PersistError::Kind::Io:
      return "IO error: " + (error.os_error != 0 ? os_error_text(error.os_error) : error.message);
    case PersistError::Kind::DataCorruption:
      return "Data corruption: " + error.message;
    case PersistError::Kind::Interrupted:
      return "IO error: " + os_error_text(error.os_error);
  }
  return "IO error: " + error.message;
}

}  // namespace orlo_kiv
