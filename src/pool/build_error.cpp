#include "pool/build_error.hpp"

#include <cerrno>
#include <cstring>

namespace rowmerge::pool {
namespace {

// strerror_r comes in two shapes (an int result filling the buffer, or a
// char* result); both are handled without naming the C library.
[[maybe_unused]] const char* pick_message(int rc, const char* buffer) { return rc == 0 ? buffer : nullptr; }
[[maybe_unused]] const char* pick_message(const char* text, const char*) { return text; }

std::string system_message(int code) {
  char buffer[256] = {};
  const char* text = pick_message(strerror_r(code, buffer, sizeof(buffer)), buffer);
  if (text == nullptr || *text == '\0') return "Unknown error " + std::to_string(code);
  return text;
}

void append_quoted(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
}

}  // namespace

std::string_view error_kind_name(int code) noexcept {
  switch (code) {
    case EPERM:
    case EACCES: return "PermissionDenied";
    case ENOENT: return "NotFound";
    case EINTR: return "Interrupted";
    case E2BIG: return "ArgumentListTooLong";
    case EAGAIN: return "WouldBlock";
    case ENOMEM: return "OutOfMemory";
    case EBUSY: return "ResourceBusy";
    case EEXIST: return "AlreadyExists";
    case EXDEV: return "CrossesDevices";
    case ENOTDIR: return "NotADirectory";
    case EISDIR: return "IsADirectory";
    case EINVAL: return "InvalidInput";
    case ETXTBSY: return "ExecutableFileBusy";
    case EFBIG: return "FileTooLarge";
    case ENOSPC: return "StorageFull";
    case ESPIPE: return "NotSeekable";
    case EROFS: return "ReadOnlyFilesystem";
    case EMLINK: return "TooManyLinks";
    case EPIPE: return "BrokenPipe";
    case EDEADLK: return "Deadlock";
    case ENAMETOOLONG: return "InvalidFilename";
    case ENOSYS: return "Unsupported";
    case ENOTEMPTY: return "DirectoryNotEmpty";
    case ELOOP: return "FilesystemLoop";
    case EADDRINUSE: return "AddrInUse";
    case EADDRNOTAVAIL: return "AddrNotAvailable";
    case ENETDOWN: return "NetworkDown";
    case ENETUNREACH: return "NetworkUnreachable";
    case ECONNABORTED: return "ConnectionAborted";
    case ECONNRESET: return "ConnectionReset";
    case ENOTCONN: return "NotConnected";
    case ETIMEDOUT: return "TimedOut";
    case ECONNREFUSED: return "ConnectionRefused";
    case EHOSTUNREACH: return "HostUnreachable";
    case ESTALE: return "StaleNetworkFileHandle";
    case EDQUOT: return "QuotaExceeded";
    case EINPROGRESS: return "InProgress";
    default: return "Uncategorized";
  }
}

std::string IoError::render() const {
  std::string out;
  if (!simple_.empty()) {
    out = "Error { kind: InvalidInput, message: ";
    append_quoted(out, simple_);
  } else {
    out = "Os { code: " + std::to_string(code_) + ", kind: ";
    out += error_kind_name(code_);
    out += ", message: ";
    append_quoted(out, system_message(code_));
  }
  out += " }";
  return out;
}

ThreadPoolBuildError::ThreadPoolBuildError(const IoError& io)
    : text_("ThreadPoolBuildError { kind: IOError(" + io.render() + ") }") {}

}  // namespace rowmerge::pool
