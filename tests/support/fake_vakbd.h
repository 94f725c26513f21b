// fake_vakbd.h - a scripted stand-in for the Boolean Daemon on 127.0.0.1, to test its clients
// against greetings and replies that a real daemon would never send.
#ifndef VAK_TESTS_FAKE_VAKBD_H_
#define VAK_TESTS_FAKE_VAKBD_H_

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vaktest {

struct FakeStep {
  enum Kind {
    kSend,            // one framed message: text
    kSendLengthOnly,  // only the length field of text, then nothing more
    kReadRequest,     // one framed message, recorded in requests()
    kWaitMs,          // wait atoi(text) milliseconds, or until the client closes
  } kind;
  std::string text;
};

// Serves every accepted connection, one after the other, with the same script, then closes it.
class FakeVakbd {
 public:
  explicit FakeVakbd(std::vector<FakeStep> script);
  ~FakeVakbd();
  FakeVakbd(const FakeVakbd &) = delete;
  FakeVakbd &operator=(const FakeVakbd &) = delete;

  int port() const { return port_; }
  // The requests read so far, after waiting (at most 10 seconds) until `connections` connections
  // have been served completely.
  std::vector<std::string> Requests(int connections);
  int served() const { return served_; }

 private:
  void Serve();
  std::vector<FakeStep> script_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> served_{0};
  std::mutex mutex_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

}  // namespace vaktest

#endif  // VAK_TESTS_FAKE_VAKBD_H_
