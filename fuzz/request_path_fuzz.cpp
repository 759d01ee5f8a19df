// The whole request path, from the bytes a client sends to the bytes it gets
// back, without a network: the request goes into one end of a socket pair,
// a worker serves the other end on this thread (which is the main thread,
// so posting runs inline), and the response is read back. Every branch is
// reachable: static files, the chat view, posting with the post form, 404
// and 501. A file beside root/ and a link inside root/ that points to it
// must never reach the response.
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "chat/ChatLog.h"
#include "net/ServerSocket.h"
#include "net/Thread.h"
#include "web/WWWThread.h"
#include "web/web_support.h"  // tests/web

namespace {

using namespace korimo;

const char kSecret[] = "SECRET-BESIDE-ROOT-7f3a";

using Host = testing_support::MemoryChatHost;
using Worker = testing_support::TestWorker;

void WriteFile(const std::string& name, const std::string& bytes) {
  FILE* f = fopen(name.c_str(), "wb");
  if (!f) abort();
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
}

// A working directory with root/, a file beside it and links.
void SetUp() {
  char dir[] = "/tmp/korimo-fuzz-XXXXXX";
  if (!mkdtemp(dir) || chdir(dir) != 0) abort();
  mkdir("root", 0755);
  mkdir("root/docs", 0755);
  mkdir("root/scripts", 0755);
  WriteFile("root/index.html", "<p>index</p>");
  WriteFile("root/docs/index.html", "<p>docs</p>");
  WriteFile("root/a.gif", "GIF89a");
  WriteFile("root/empty.txt", "");
  WriteFile("secret.txt", kSecret);
  WriteFile("rootx", kSecret);
  if (symlink("../secret.txt", "root/out.html") != 0) abort();
  if (symlink("index.html", "root/in.html") != 0) abort();
  MainThread::Register();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = (SetUp(), true);
  static TServerWinSocket listener;
  static Host host;
  (void)ready;
  if (size > 60000) return 0;  // the socket pair holds the whole request

  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) abort();
  int big = 1 << 20;
  setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
  setsockopt(fds[1], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  setsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
  if (size > 0 && write(fds[1], data, size) != static_cast<ssize_t>(size)) abort();
  shutdown(fds[1], SHUT_WR);  // the client is done: no pause to wait for

  auto* client = new TServerClientWinSocket(fds[0], &listener);
  client->SetNotifyStyles(0);
  auto* worker = new Worker(client, host);
  try {
    worker->Serve();
  } catch (const Exception&) {
    // Escapes to the operator's error report in the server: allowed.
  }
  listener.UnregisterWorker(worker);
  delete worker;  // closes the connection

  std::string response;
  char buf[65536];
  ssize_t n;
  while ((n = read(fds[1], buf, sizeof buf)) > 0) response.append(buf, static_cast<size_t>(n));
  close(fds[1]);
  if (response.find(kSecret) != std::string::npos) __builtin_trap();
  if (!response.empty() && response.compare(0, 9, "HTTP/1.0 ") != 0) __builtin_trap();
  return 0;
}
