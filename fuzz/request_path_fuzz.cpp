// The whole request path, from the bytes a client sends to the bytes it gets
// back, without a network: the request is played to the service on a
// memory connection, on this thread (which is the main thread, so posting
// runs inline), and the response is what the connection kept. Every branch is
// reachable: static files, the chat view, posting with the post form, 404
// and 501. A file beside root/ and a link inside root/ that points to it
// must never reach the response.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "chat/ChatLog.h"
#include "net/Thread.h"
#include "web/Command.h"
#include "web/web_support.h"  // tests/web

namespace {

using namespace korimo;

const char kSecret[] = "SECRET-BESIDE-ROOT-7f3a";

using Host = testing_support::MemoryChatHost;

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

// A post echoes its handle and text, and the chat view shows them: the
// secret may come back when the client sent it itself, as it is or
// percent-encoded in a form.
bool ClientSentSecret(const std::string& input) {
  if (input.find(kSecret) != std::string::npos) return true;
  std::string decoded = input;
  DecodeFormText(decoded);
  return decoded.find(kSecret) != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = (SetUp(), true);
  (void)ready;
  // A chat of its own per input: whatever one run allocates, it frees, so
  // the fuzzer never has to look for leaks between runs.
  Host host;

  // The client sends its bytes and closes its side: no pause to wait for.
  testing_support::MemoryService s(host);
  if (size > 0) s.Conn.Send(0, std::string(reinterpret_cast<const char*>(data), size));
  s.Conn.CloseSending(0);
  try {
    s.Service.Serve();
  } catch (const Exception&) {
    // Escapes to the operator's error report in the server: allowed.
  }
  const std::string& response = s.Conn.Sent;
  if (response.find(kSecret) != std::string::npos &&
      !ClientSentSecret(std::string(reinterpret_cast<const char*>(data), size))) {
    __builtin_trap();
  }
  if (!response.empty() && response.compare(0, 9, "HTTP/1.0 ") != 0) __builtin_trap();
  return 0;
}
