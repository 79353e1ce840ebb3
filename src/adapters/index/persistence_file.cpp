// POSIX implementation of whole-file reading and atomic replacement, and the
// save and load operations built on them. A system call that may block (open,
// read, write, sync) and is interrupted by a signal asks the caller's
// interruption check whether to stop, and is retried otherwise.
#include "adapters/index/persistence_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "adapters/index/persistence.h"

namespace orlo_kiv::persistence {
namespace {

// Largest single read or write asked of the system (Linux moves at most about
// 2 GiB per call anyway).
constexpr std::size_t kMaxTransfer = std::size_t{1} << 30;
// Reading a file whose size is unknown starts with this much room.
constexpr std::size_t kInitialReadCapacity = 8192;
// Matches the kernel's own limit on links followed while resolving one path.
constexpr int kMaxSymlinkHops = 40;
// A very long file name is cut short in the temporary name, which must stay
// within the file-system limit on one name.
constexpr std::size_t kMaxTemporaryStemLength = 100;

std::unexpected<PersistError> os_error(int error_number) {
  return std::unexpected(PersistError::from_os_error(error_number));
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) noexcept : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    FileDescriptor old(std::exchange(fd_, std::exchange(other.fd_, -1)));
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { close(); }

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  // A failed close is not reported: the data it concerns was accepted or
  // synced before, and the descriptor is released either way.
  void close() noexcept {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  }

 private:
  int fd_;
};

// The failure of a system call that set `errno`: an interruption that the
// check says ends the operation, or nothing (retry the call) for any other
// interruption, or the error for that number.
std::optional<PersistError> failure_after_call(InterruptCheck interrupted) {
  if (errno != EINTR) return PersistError::from_os_error(errno);
  if (interrupted != nullptr && interrupted()) return PersistError::interrupted();
  return std::nullopt;
}

// A read or write that moved fewer bytes than asked may have been cut short by
// a signal, which then reports no EINTR: the check is asked here too, or the
// next call could wait for good with the signal already handled.
std::optional<PersistError> interruption_after_short_transfer(InterruptCheck interrupted) {
  if (interrupted != nullptr && interrupted()) return PersistError::interrupted();
  return std::nullopt;
}

std::expected<FileDescriptor, PersistError> open_file(const std::string& path, int flags,
                                                      InterruptCheck interrupted, mode_t mode = 0) {
  for (;;) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    if (fd >= 0) return FileDescriptor(fd);
    if (auto error = failure_after_call(interrupted)) return std::unexpected(std::move(*error));
  }
}

// The path as a C string; a zero byte inside it would silently cut it short.
std::expected<std::string, PersistError> checked_path(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) {
    return std::unexpected(PersistError::nul_in_path());
  }
  return std::string(path);
}

std::expected<void, PersistError> write_all(int fd, std::span<const std::uint8_t> bytes,
                                            InterruptCheck interrupted) {
  while (!bytes.empty()) {
    const std::size_t asked = std::min(bytes.size(), kMaxTransfer);
    const ssize_t n = ::write(fd, bytes.data(), asked);
    if (n < 0) {
      if (auto error = failure_after_call(interrupted)) return std::unexpected(std::move(*error));
      continue;
    }
    if (n == 0) return std::unexpected(PersistError::write_zero());
    bytes = bytes.subspan(static_cast<std::size_t>(n));
    if (static_cast<std::size_t>(n) < asked) {
      if (auto error = interruption_after_short_transfer(interrupted)) {
        return std::unexpected(std::move(*error));
      }
    }
  }
  return {};
}

std::expected<void, PersistError> sync(int fd, InterruptCheck interrupted) {
  while (::fsync(fd) != 0) {
    if (auto error = failure_after_call(interrupted)) return std::unexpected(std::move(*error));
  }
  return {};
}

// Reads to end of file. With an exact size hint this takes two reads: one for
// the content and one that reports the end. Data whose first bytes already
// decide that it cannot be loaded (a wrong magic or version) ends the read
// with that error, so an endless stream (/dev/zero, a pipe) is not read on.
std::expected<ByteBuffer, PersistError> read_all(int fd, std::size_t size_hint,
                                                 InterruptCheck interrupted) {
  ByteBuffer buffer(size_hint > 0 ? size_hint + 1 : kInitialReadCapacity);
  std::size_t filled = 0;
  bool prefix_decided = false;
  for (;;) {
    if (filled == buffer.size()) {
      ByteBuffer larger(buffer.size() * 2);
      std::memcpy(larger.span().data(), buffer.span().data(), filled);
      buffer = std::move(larger);
    }
    const std::size_t room = std::min(buffer.size() - filled, kMaxTransfer);
    const ssize_t n = ::read(fd, buffer.span().data() + filled, room);
    if (n < 0) {
      if (auto error = failure_after_call(interrupted)) return std::unexpected(std::move(*error));
      continue;
    }
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
    if (static_cast<std::size_t>(n) < room) {
      if (auto error = interruption_after_short_transfer(interrupted)) {
        return std::unexpected(std::move(*error));
      }
    }
    if (!prefix_decided) {
      const std::span<const std::uint8_t> prefix = buffer.span().first(filled);
      if (auto refused = preamble_error(prefix)) return std::unexpected(std::move(*refused));
      prefix_decided = filled >= kPreambleSize;
    }
  }
  buffer.shrink(filled);
  return buffer;
}

// --- Paths -------------------------------------------------------------------

std::string directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string name_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::expected<std::string, PersistError> read_link(const std::string& path) {
  std::string target(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n < 0) return os_error(errno);
    if (static_cast<std::size_t>(n) < target.size()) {
      target.resize(static_cast<std::size_t>(n));
      return target;
    }
    target.resize(target.size() * 2);  // possibly cut short: try again with more room
  }
}

struct Target {
  std::string path;  // the file that will be replaced or created
  bool exists = false;
  struct stat status {};
};

// Follows symbolic links from `path` to the file they lead to. When the last
// link dangles, its target is the file to create, as an open would create it.
std::expected<Target, PersistError> resolve_target(std::string path) {
  for (int hops = 0;; ++hops) {
    Target target;
    if (::lstat(path.c_str(), &target.status) != 0) {
      if (errno != ENOENT) return os_error(errno);
      target.path = std::move(path);
      return target;  // a missing directory surfaces when the file is created
    }
    if (!S_ISLNK(target.status.st_mode)) {
      target.path = std::move(path);
      target.exists = true;
      return target;
    }
    if (hops == kMaxSymlinkHops) return os_error(ELOOP);
    auto link = read_link(path);
    if (!link) return std::unexpected(link.error());
    path = link->starts_with('/') ? std::move(*link) : directory_of(path) + "/" + *link;
  }
}

// --- Writing -------------------------------------------------------------------

// A temporary file beside the target, removed on destruction unless it has
// been renamed into place.
class TemporaryFile {
 public:
  static std::expected<TemporaryFile, PersistError> create_beside(const std::string& target,
                                                                  mode_t mode,
                                                                  InterruptCheck interrupted) {
    static std::atomic<std::uint64_t> counter{0};
    const std::string prefix = directory_of(target) + "/." +
                               name_of(target).substr(0, kMaxTemporaryStemLength) + "." +
                               std::to_string(::getpid()) + ".";
    constexpr int kAttempts = 100;
    for (int attempt = 0;; ++attempt) {
      std::string path = prefix + std::to_string(counter.fetch_add(1)) + ".tmp";
      auto fd = open_file(path, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY, interrupted, mode);
      if (fd) return TemporaryFile(std::move(path), std::move(*fd));
      const bool taken = fd.error().kind == PersistError::Kind::Io && fd.error().os_error == EEXIST;
      if (!taken || attempt + 1 == kAttempts) return std::unexpected(fd.error());
    }
  }

  TemporaryFile(TemporaryFile&& other) noexcept
      : path_(std::move(other.path_)),
        fd_(std::move(other.fd_)),
        owned_(std::exchange(other.owned_, false)) {}
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  TemporaryFile& operator=(TemporaryFile&&) = delete;
  ~TemporaryFile() {
    fd_.close();
    if (owned_) ::unlink(path_.c_str());
  }

  int fd() const noexcept { return fd_.get(); }

  // Closes the file and renames it over `target`; afterwards nothing is removed.
  std::expected<void, PersistError> rename_over(const std::string& target) {
    fd_.close();
    if (::rename(path_.c_str(), target.c_str()) != 0) return os_error(errno);
    owned_ = false;
    return {};
  }

 private:
  TemporaryFile(std::string path, FileDescriptor fd) noexcept
      : path_(std::move(path)), fd_(std::move(fd)), owned_(true) {}

  std::string path_;
  FileDescriptor fd_;
  bool owned_;
};

// Gives the new file the replaced file's owner, group and permission bits.
// Changing the owner needs privileges the process may lack; it then keeps
// what it may (the group, if it belongs to it) and goes on.
std::expected<void, PersistError> copy_ownership_and_mode(int fd, const struct stat& old) {
  if (old.st_uid != ::geteuid() || old.st_gid != ::getegid()) {
    if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
      [[maybe_unused]] const int ignored = ::fchown(fd, static_cast<uid_t>(-1), old.st_gid);
    }
  }
  // After the owner: a change of owner clears the set-user-ID and set-group-ID bits.
  if (::fchmod(fd, old.st_mode & 07777) != 0) return os_error(errno);
  return {};
}

// Overwrites the regular file open as `fd`, `old_size` bytes long, with
// `bytes`: first the space for the new length is reserved (allocating nothing
// the file already has), then the bytes are written from the start, then the
// file is cut to their length and synced. Running out of space or over the
// file-size limit therefore fails before any byte changes, and the file is
// left with its old length. Once writing has begun it runs to the end
// regardless of signals: an interruption then would leave a mix of old and
// new bytes. The overwrite is not crash-atomic.
std::expected<void, PersistError> overwrite_reserved(int fd, off_t old_size,
                                                     std::span<const std::uint8_t> bytes,
                                                     InterruptCheck interrupted) {
  const auto new_size = static_cast<off_t>(bytes.size());
  if (new_size > 0) {
    int reserved;
    while ((reserved = ::posix_fallocate(fd, 0, new_size)) == EINTR) {
      if (interrupted != nullptr && interrupted()) {
        reserved = EINTR;
        break;
      }
    }
    if (reserved != 0) {
      // A reservation that failed part way may have lengthened the file.
      while (::ftruncate(fd, old_size) != 0 && errno == EINTR) {
      }
      return reserved == EINTR ? std::unexpected(PersistError::interrupted()) : os_error(reserved);
    }
  }
  if (auto written = write_all(fd, bytes, nullptr); !written) return written;
  while (::ftruncate(fd, new_size) != 0) {
    if (errno != EINTR) return os_error(errno);
  }
  return sync(fd, nullptr);
}

// Writes where a file cannot be replaced by renaming: a regular file is
// overwritten after reserving its space (above), anything else (a FIFO, a
// device) is written into directly.
std::expected<void, PersistError> write_in_place(const std::string& path,
                                                 std::span<const std::uint8_t> bytes,
                                                 InterruptCheck interrupted) {
  // Never O_TRUNC: a regular file keeps its content until the new one has room.
  auto fd = open_file(path, O_WRONLY | O_CREAT | O_NOCTTY, interrupted, 0666);
  if (!fd) return std::unexpected(fd.error());
  struct stat status {};
  if (::fstat(fd->get(), &status) != 0) return os_error(errno);
  if (S_ISREG(status.st_mode))
    return overwrite_reserved(fd->get(), status.st_size, bytes, interrupted);
  return write_all(fd->get(), bytes, interrupted);
}

// Makes the rename itself durable. Best effort: the file is already in place.
void sync_directory(const std::string& directory) noexcept {
  if (auto fd = open_file(directory, O_RDONLY | O_DIRECTORY, nullptr)) ::fsync(fd->get());
}

// Why a replacement by rename did not happen.
struct RenameFailure {
  PersistError error;
  bool directory_refused = false;  // the directory refused the new name, not the file
};

// Writes `bytes` into a temporary file beside the target, syncs it and renames
// it over the target; on failure the temporary file is gone and the target
// untouched.
std::expected<void, RenameFailure> replace_by_rename(const Target& target,
                                                     std::span<const std::uint8_t> bytes,
                                                     InterruptCheck interrupted) {
  // Refusals that concern the name rather than the file: no permission on the
  // directory, a sticky directory, a read-only directory holding a writable
  // mount, or a target that is itself a mount point (a bind-mounted file).
  auto refused = [](const PersistError& error) {
    const int e = error.os_error;
    return RenameFailure{error, e == EACCES || e == EPERM || e == EROFS || e == EBUSY};
  };
  auto failed = [](const PersistError& error) { return RenameFailure{error, false}; };

  // A replacement starts private and takes the old file's mode below; a new
  // file gets 0666 reduced by the creation mask.
  auto temporary =
      TemporaryFile::create_beside(target.path, target.exists ? 0600 : 0666, interrupted);
  if (!temporary) return std::unexpected(refused(temporary.error()));
  if (target.exists) {
    if (auto kept = copy_ownership_and_mode(temporary->fd(), target.status); !kept) {
      return std::unexpected(failed(kept.error()));
    }
  }
  if (auto written = write_all(temporary->fd(), bytes, interrupted); !written) {
    return std::unexpected(failed(written.error()));
  }
  if (auto synced = sync(temporary->fd(), interrupted); !synced) {
    return std::unexpected(failed(synced.error()));
  }
  if (auto renamed = temporary->rename_over(target.path); !renamed) {
    return std::unexpected(refused(renamed.error()));
  }
  sync_directory(directory_of(target.path));
  return {};
}

}  // namespace

std::expected<ByteBuffer, PersistError> read_file(std::string_view path_text,
                                                  InterruptCheck interrupted) {
  const auto path = checked_path(path_text);
  if (!path) return std::unexpected(path.error());
  auto fd = open_file(*path, O_RDONLY, interrupted);
  if (!fd) return std::unexpected(fd.error());
  struct stat status {};
  const bool sized = ::fstat(fd->get(), &status) == 0 && status.st_size > 0;
  const std::size_t size_hint = sized ? static_cast<std::size_t>(status.st_size) : 0;
  return read_all(fd->get(), size_hint, interrupted);
}

std::expected<void, PersistError> replace_file(std::string_view path_text,
                                               std::span<const std::uint8_t> bytes,
                                               InterruptCheck interrupted) {
  const auto path = checked_path(path_text);
  if (!path) return std::unexpected(path.error());
  // No file name to replace (an empty path, a name ending in '/'): a plain
  // open reports what is wrong with it.
  if (path->empty() || path->back() == '/') return write_in_place(*path, bytes, interrupted);

  const auto target = resolve_target(*path);
  if (!target) return std::unexpected(target.error());
  if (target->exists && !S_ISREG(target->status.st_mode)) {
    return write_in_place(target->path, bytes, interrupted);
  }
  if (target->exists) {
    // Replacing needs only the directory's permission; refuse a file that the
    // process could not have overwritten, as a plain write would.
    auto probe = open_file(target->path, O_WRONLY | O_NOCTTY, interrupted);
    if (!probe) return std::unexpected(probe.error());
  }

  const auto replaced = replace_by_rename(*target, bytes, interrupted);
  // Where the file itself is writable but its name cannot be replaced, write
  // it in place as a plain overwrite would.
  if (!replaced && target->exists && replaced.error().directory_refused) {
    return write_in_place(target->path, bytes, interrupted);
  }
  if (!replaced) return std::unexpected(replaced.error().error);
  return {};
}

std::expected<void, PersistError> save(const KivIndex& index, std::string_view path,
                                       InterruptCheck interrupted) {
  // Serialised in full first: a failure here never touches the file.
  const auto bytes = to_bytes(index);
  if (!bytes) return std::unexpected(bytes.error());
  return replace_file(path, bytes->span(), interrupted);
}

std::expected<KivIndex, PersistError> load(std::string_view path, InterruptCheck interrupted) {
  const auto bytes = read_file(path, interrupted);
  if (!bytes) return std::unexpected(bytes.error());
  return from_bytes(bytes->span());
}

}  // namespace orlo_kiv::persistence
