// Byte streams. A stream handed to a socket for sending belongs to it.
#pragma once

#include <cstdint>
#include <string>

#include "base/SysUtils.h"

namespace korimo {

class TStream {
 public:
  virtual ~TStream() = default;
  // Up to `count` bytes into `buffer`; the count read, 0 at the end.
  virtual int Read(void* buffer, int count) = 0;
  virtual int64_t Position() = 0;
  virtual void SetPosition(int64_t position) = 0;
  virtual int64_t Size() = 0;
  // A regular file's descriptor, which a socket may send from without a
  // copy through user space; -1 for every other stream. The stream keeps it.
  virtual int FileHandle() const { return -1; }
};

// A file that cannot be opened as a stream.
class EFOpenError : public Exception {
 public:
  using Exception::Exception;
};

// A regular file opened for reading, shared with other readers and writers.
class TFileStream : public TStream {
 public:
  // Raises EFOpenError when the file cannot be opened or is not a regular
  // file (a directory, a device).
  explicit TFileStream(const std::string& fileName);
  // Opens `relative` inside the directory `rootDir` only: a name or link
  // that leads outside it cannot be opened (raises EFOpenError).
  TFileStream(const std::string& rootDir, const std::string& relative);
  ~TFileStream() override;
  int Read(void* buffer, int count) override;
  int64_t Position() override { return Pos; }
  void SetPosition(int64_t position) override { Pos = position; }
  int64_t Size() override { return FileSize; }
  int FileHandle() const override { return Fd; }

 private:
  void Adopt(int fd, const std::string& fileName);

  int Fd = -1;
  int64_t Pos = 0;
  int64_t FileSize = 0;  // as opened; a file that shrinks ends at its new end
};

// A stream over bytes in memory (tests, and anything built in memory).
class TStringStream : public TStream {
 public:
  explicit TStringStream(std::string data) : Data(std::move(data)) {}
  int Read(void* buffer, int count) override;
  int64_t Position() override { return Pos; }
  void SetPosition(int64_t position) override { Pos = position; }
  int64_t Size() override { return static_cast<int64_t>(Data.size()); }

 private:
  std::string Data;
  int64_t Pos = 0;
};

}  // namespace korimo
