// Whole-file input and output for saved indexes.
//
// Reading takes the whole file into one buffer sized from the file's reported
// size, which is only a hint: the buffer grows if the file turns out longer.
//
// Writing replaces a file atomically and durably. The bytes go into a new
// temporary file beside the target, which is synced, renamed over the target,
// and then the directory is synced. A failure at any step removes the
// temporary file and leaves an existing target exactly as it was. Details:
// - A new file gets the permission bits 0666 reduced by the file-creation
//   mask. A replaced file keeps its permission bits and, where the process may
//   set them, its owner and group; an existing file the process may not write
//   is refused ("Permission denied") just as a plain overwrite would be.
// - A symbolic link is followed: the file it leads to is replaced and the link
//   stays a link. Other hard links to a replaced file keep the old content,
//   since the path is given a new file rather than new content.
// - A target that exists but is not a regular file (a FIFO, a device) is
//   opened and written directly.
// - A writable regular file whose name cannot be replaced (a directory where
//   the process may not create the temporary file, an immutable directory, a
//   bind-mounted file) is overwritten in place: the space for the new length
//   is reserved first, so running out of space or over the file-size limit
//   leaves the old content as it was; then the bytes are written and the file
//   is cut to their length. This path is not crash-atomic: a crash or an I/O
//   error while writing leaves a mix of old and new bytes.
// - Once the rename has succeeded the save has happened: a failure to sync the
//   directory afterwards is not reported.
//
// Opening, reading, writing and syncing can block on a FIFO or a device. When
// a signal interrupts one of them, or cuts a read or write short, the
// interruption check decides: true ends the operation with
// PersistError::interrupted() (a save then removes its temporary file as on
// any failure), false goes on.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string_view>

#include "adapters/index/persistence_bytes.h"
#include "adapters/index/persistence_error.h"

namespace orlo_kiv::persistence {

// Asked after a blocking system call was interrupted by a signal: true stops
// the operation, false retries the call. The core knows nothing of what the
// caller does on a signal; the Python adapter runs the interpreter's signal
// handlers here and stops when one of them raised. Null: always retry.
using InterruptCheck = bool (*)();

// The whole content of the file at `path` (UTF-8 bytes used unchanged; a zero
// byte in it fails before anything is opened). Reading stops early with the
// decoder's error once the first bytes show a wrong magic or version.
std::expected<ByteBuffer, PersistError> read_file(std::string_view path,
                                                  InterruptCheck interrupted = nullptr);

// Makes `bytes` the content of the file at `path`, as described above.
std::expected<void, PersistError> replace_file(std::string_view path,
                                               std::span<const std::uint8_t> bytes,
                                               InterruptCheck interrupted = nullptr);

}  // namespace orlo_kiv::persistence
