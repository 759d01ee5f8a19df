#include "net/Stream.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace korimo {

TFileStream::TFileStream(const std::string& fileName) {
  Adopt(open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK), fileName);
}

namespace {

// openat2 with RESOLVE_BENEATH: the kernel refuses every step outside the
// directory, links included. Older kernels lack it: then the resolved name
// is checked against the resolved directory instead.
int OpenBeneath(const std::string& rootDir, const std::string& relative) {
  int dir = open(rootDir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return -1;
  open_how how{};
  how.flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  long fd = syscall(SYS_openat2, dir, relative.c_str(), &how, sizeof how);
  int saved = errno;
  if (fd < 0 && saved == ENOSYS) {
    fd = -1;
    char* base = realpath(rootDir.c_str(), nullptr);
    char* full = realpath((rootDir + "/" + relative).c_str(), nullptr);
    if (base && full) {
      std::string b(base), f(full);
      if (f.size() > b.size() && f.compare(0, b.size(), b) == 0 && f[b.size()] == '/') {
        fd = open(full, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
      }
    }
    saved = fd < 0 ? EACCES : 0;
    free(base);
    free(full);
  }
  close(dir);
  errno = saved;
  return static_cast<int>(fd);
}

}  // namespace

TFileStream::TFileStream(const std::string& rootDir, const std::string& relative) {
  Adopt(OpenBeneath(rootDir, relative), rootDir + "/" + relative);
}

void TFileStream::Adopt(int fd, const std::string& fileName) {
  Fd = fd;
  if (Fd < 0) throw EFOpenError("open '" + fileName + "': " + SysErrorMessage(errno));
  struct stat st;
  if (fstat(Fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(Fd);
    Fd = -1;
    throw EFOpenError("open '" + fileName + "': not a regular file");
  }
  FileSize = st.st_size;
}

TFileStream::~TFileStream() {
  if (Fd >= 0) close(Fd);
}

int TFileStream::Read(void* buffer, int count) {
  if (count <= 0) return 0;
  for (;;) {
    ssize_t n = pread(Fd, buffer, static_cast<size_t>(count), Pos);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    Pos += n;
    return static_cast<int>(n);
  }
}

int TStringStream::Read(void* buffer, int count) {
  if (count <= 0 || Pos >= static_cast<int64_t>(Data.size())) return 0;
  size_t n = std::min(static_cast<size_t>(count), Data.size() - static_cast<size_t>(Pos));
  std::memcpy(buffer, Data.data() + Pos, n);
  Pos += static_cast<int64_t>(n);
  return static_cast<int>(n);
}

}  // namespace korimo
