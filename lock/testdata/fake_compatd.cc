// fake_compatd.cc - scripted stand-in for vakcompatd in the client's tests. FAKE_COMPATD_MODE
// picks the behaviour; every start and every request is appended to FAKE_COMPATD_JOURNAL.
//   exit     ends at once
//   v3       answers the handshake with version 3
//   silent   answers its first Lock only after 7 seconds, past the client's 6-second read window
//   die-mid  answers a Lock with a length and a piece of text, then ends
//   stall-mid  answers a Lock with a length and a piece of text, then reads on without answering
//   reply:T  answers every Lock with T
//   (other)  answers the handshake, Lock and Unlock with success; ends after Die
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "framing.h"

int main(int argc, char **argv) {
  if (argc != 3) return 2;
  int in = atoi(argv[1]), out = atoi(argv[2]);
  const char *env = getenv("FAKE_COMPATD_MODE");
  std::string mode = env != nullptr ? env : "";
  FILE *journal =
      fopen(getenv("FAKE_COMPATD_JOURNAL") ? getenv("FAKE_COMPATD_JOURNAL") : "/dev/null", "ae");
  if (journal == nullptr) return 2;
  setvbuf(journal, nullptr, _IONBF, 0);
  fprintf(journal, "start\n");
  if (mode == "exit") return 0;
  int locks = 0;
  char *request = nullptr;
  while (vakNetReadEx(in, &request, 0)) {
    std::string text = request;
    free(request);
    fprintf(journal, "%s\n", text.c_str());
    if (text == "Die") return 0;
    if (text == "VersionReq") {
      vakNetWrite(out, mode == "v3" ? "VakCompatDVersion 3" : "VakCompatDVersion 2");
    } else if (text.compare(0, 5, "Lock ") == 0 && (mode == "die-mid" || mode == "stall-mid")) {
      const unsigned char partial[] = {0, 0, 0, 100, 'G', 'o', 't'};
      if (write(out, partial, sizeof partial) < 0) return 1;
      if (mode == "die-mid") return 0;
    } else if (text.compare(0, 5, "Lock ") == 0) {
      if (mode == "silent" && locks++ == 0) sleep(7);
      vakNetWrite(out, mode.compare(0, 6, "reply:") == 0 ? mode.c_str() + 6 : "GotLock TRUE");
    } else if (text.compare(0, 7, "Unlock ") == 0) {
      vakNetWrite(out, "DidUnLock TRUE");
    } else if (text == "ReportLog") {
      vakNetWrite(out, "LogInfo no log kept");
    }
  }
  return 0;
}
