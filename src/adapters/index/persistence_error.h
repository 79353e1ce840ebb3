// The error value of saving, loading and byte conversion.
//
// Each kind has one display text. Io errors carry either an operating-system
// error number, shown as the platform's description followed by
// " (os error N)", or one of the fixed texts of the module's own I/O code.
#pragma once

#include <cerrno>
#include <cstdint>
#include <string>

namespace orlo_kiv {

struct PersistError {
  // Interrupted: a system call was interrupted by a signal and the caller's
  // interruption check ended the operation (the caller has its own report of
  // why, for example a pending KeyboardInterrupt).
  enum class Kind { InvalidMagic, UnsupportedVersion, Io, DataCorruption, Interrupted };

  Kind kind = Kind::Io;
  std::uint32_t version = 0;  // UnsupportedVersion
  int os_error = 0;           // Io: the error number, 0 for a fixed text
  std::string message;        // Io with a fixed text, DataCorruption

  static PersistError invalid_magic() { return {Kind::InvalidMagic, 0, 0, {}}; }
  static PersistError unsupported_version(std::uint32_t version) {
    return {Kind::UnsupportedVersion, version, 0, {}};
  }
  static PersistError from_os_error(int error_number) { return {Kind::Io, 0, error_number, {}}; }
  static PersistError io(std::string text) { return {Kind::Io, 0, 0, std::move(text)}; }
  static PersistError data_corruption(std::string text) {
    return {Kind::DataCorruption, 0, 0, std::move(text)};
  }
  static PersistError interrupted() { return {Kind::Interrupted, 0, EINTR, {}}; }

  // The data ended inside a field.
  static PersistError truncated() { return io("failed to fill whole buffer"); }
  // The system accepted no more bytes of a write.
  static PersistError write_zero() { return io("failed to write whole buffer"); }
  // A path that holds a zero character, refused before anything is opened.
  static PersistError nul_in_path() { return io("file name contained an unexpected NUL byte"); }
  // A level byte outside 0..3.
  static PersistError invalid_level(std::uint8_t value) {
    return data_corruption("Invalid level: " + std::to_string(value));
  }
};

// "No such file or directory (os error 2)": the platform's text for the number.
std::string os_error_text(int error_number);

// "Invalid KIV file magic bytes", "Unsupported KIV version: 2",
// "IO error: failed to fill whole buffer", "Data corruption: Invalid level: 7";
// an interruption reads "IO error: Interrupted system call (os error 4)".
std::string to_string(const PersistError& error);

}  // namespace orlo_kiv
