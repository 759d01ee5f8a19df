#include "app/WorkingDirectory.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <climits>
#include <stdexcept>
#include <vector>

#include "base/SysUtils.h"

namespace korimo {

namespace {

[[noreturn]] void Fail(const std::string& call, const std::string& path, int code = errno) {
  throw std::runtime_error(CallFailedText(call + " " + path, code));
}

bool Exists(const std::string& path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0;
}

void CopyFile(const std::string& from, const std::string& to) {
  int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) Fail("open", from);
  int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (out < 0) {
    int code = errno;
    close(in);
    Fail("open", to, code);
  }
  char buf[65536];
  std::string failedCall, failedPath;
  int code = 0;
  for (;;) {
    ssize_t n = read(in, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      code = errno, failedCall = "read", failedPath = from;
      break;
    }
    if (n == 0) break;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = write(out, buf + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) {
        code = errno, failedCall = "write", failedPath = to;
        break;
      }
      done += w;
    }
    if (code) break;
  }
  close(in);
  if (close(out) != 0 && !code) code = errno, failedCall = "close", failedPath = to;
  if (code) Fail(failedCall, failedPath, code);
}

// Copies the folders and regular files under `from` into the existing
// folder `to`; links and special files are left out.
void CopyTree(const std::string& from, const std::string& to) {
  DIR* d = opendir(from.c_str());
  if (!d) Fail("opendir", from);
  std::vector<std::string> names;
  errno = 0;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
    errno = 0;
  }
  int code = errno;
  closedir(d);
  if (code) Fail("readdir", from, code);
  for (const std::string& name : names) {
    std::string source = from + "/" + name, target = to + "/" + name;
    struct stat st{};
    if (lstat(source.c_str(), &st) != 0) Fail("lstat", source);
    if (S_ISDIR(st.st_mode)) {
      if (mkdir(target.c_str(), 0777) != 0) Fail("mkdir", target);
      CopyTree(source, target);
    } else if (S_ISREG(st.st_mode)) {
      CopyFile(source, target);
    }
  }
}

void RemoveTree(const std::string& path) {
  if (DIR* d = opendir(path.c_str())) {
    std::vector<std::string> names;
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
    for (const std::string& name : names) {
      std::string p = path + "/" + name;
      struct stat st{};
      if (lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        RemoveTree(p);
      } else {
        unlink(p.c_str());
      }
    }
  }
  rmdir(path.c_str());
}

}  // namespace

std::string ProgramDirectory() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n < 0) Fail("readlink", "/proc/self/exe");
  std::string exe(path, static_cast<size_t>(n));
  return exe.substr(0, exe.rfind('/'));
}

std::string FindShipped(const std::string& programDir, const std::string& relative) {
  for (const std::string& candidate : {programDir + "/../" + relative, programDir + "/" + relative}) {
    if (Exists(candidate)) return candidate;
  }
  return "";
}

std::string UserDataDirectory(const char* xdgDataHome, const char* home) {
  if (xdgDataHome && xdgDataHome[0] == '/') return std::string(xdgDataHome) + "/korimo";
  std::string h = home ? home : "";
  if (h.empty()) {
    errno = 0;
    passwd* pw = getpwuid(getuid());
    if (!pw || !pw->pw_dir || !pw->pw_dir[0]) Fail("getpwuid", std::to_string(getuid()), errno ? errno : ENOENT);
    h = pw->pw_dir;
  }
  return h + "/.local/share/korimo";
}

void MakeDirectories(const std::string& dir) {
  for (size_t at = 1; at != std::string::npos;) {
    at = dir.find('/', at + 1);
    std::string part = dir.substr(0, at);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) Fail("mkdir", part);
  }
}

bool EnterWorkingDirectory(const std::string& dir, const std::string& startPage) {
  if (chdir(dir.c_str()) != 0) Fail("chdir", dir);
  struct stat st{};
  if (lstat("root", &st) == 0) return false;
  if (errno != ENOENT) Fail("lstat", dir + "/root");
  if (startPage.empty()) Fail("seeding", dir + "/root from the shipped start page", ENOENT);

  std::string seed = "root.seeding-XXXXXX";
  if (!mkdtemp(seed.data())) Fail("mkdtemp", dir + "/" + seed);
  mode_t mask = umask(0);
  umask(mask);
  try {
    if (chmod(seed.c_str(), 0777 & ~mask) != 0) Fail("chmod", dir + "/" + seed);
    CopyTree(startPage, seed);
    if (renameat2(AT_FDCWD, seed.c_str(), AT_FDCWD, "root", RENAME_NOREPLACE) != 0) {
      // Someone made root/ meanwhile: theirs stands.
      if (errno == EEXIST) {
        RemoveTree(seed);
        return false;
      }
      Fail("renameat2", dir + "/" + seed);
    }
  } catch (...) {
    RemoveTree(seed);
    throw;
  }
  return true;
}

}  // namespace korimo
