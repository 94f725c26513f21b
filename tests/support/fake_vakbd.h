// fake_vakbd.h - a scripted Boolean Daemon on a local address (127.0.0.1 unless told otherwise)
// that sends what a real one never would.
#ifndef VAK_TESTS_FAKE_VAKBD_H_
#define VAK_TESTS_FAKE_VAKBD_H_

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace vaktest {

// Plays the script on each connection it accepts, then closes it. Steps: "<read>" reads one
// request (waiting up to 10 seconds), "<len>TEXT" sends only the length field of a message TEXT,
// "<stall>" keeps the connection open in silence for 20 seconds (or until Requests()), anything
// else is sent as one framed message.
class FakeVakbd {
 public:
  // Listens on the given local IPv4 address.
  explicit FakeVakbd(std::vector<std::string> script, const std::string &address = "127.0.0.1");
  ~FakeVakbd() { Requests(); }
  int port() const { return port_; }  // 0 when it could not listen there
  // Stops serving after the connection in progress; the requests read, "|"-separated.
  std::string Requests();

 private:
  int listener_, port_ = 0;
  std::atomic<bool> stop_{false};
  std::string requests_;
  std::thread thread_;
};

}  // namespace vaktest

#endif  // VAK_TESTS_FAKE_VAKBD_H_
