// editor.cc - the C++ flavour of the example editor: an RAII owner of an Edit Lock.
//
//   vak-editor++ [--steal] [--reason TEXT] [--hold SECONDS] FILE
#include <stdlib.h>
#include <unistd.h>

#include <iostream>
#include <stdexcept>
#include <string>

#include "orv.h"
#include "vak.h"

namespace {

// Takes the message out of a library error slot, freeing it unless it is the shared text.
std::string TakeMessage(char *msg) {
  std::string text = msg != nullptr ? msg : "(no message)";
  if (msg != nullptr && msg != vakGetOutOfMemMsg()) free(msg);
  return text;
}

class EditLock {
 public:
  EditLock(std::string path, const char *reason, bool steal) : path_(std::move(path)) {
    char *msg = nullptr;
    int status = steal ? vakStealEditLock(path_.c_str(), reason, &msg)
                       : vakGetEditLock(path_.c_str(), reason, &msg);
    if (status != VAK_OK) throw std::runtime_error(path_ + ": " + TakeMessage(msg));
  }
  EditLock(const EditLock &) = delete;
  EditLock &operator=(const EditLock &) = delete;
  ~EditLock() {
    char *msg = nullptr;
    if (vakReleaseEditLock(path_.c_str(), &msg) != VAK_OK) {
      std::cerr << "cannot release the Edit Lock of " << path_ << ": " << TakeMessage(msg) << "\n";
    }
  }

 private:
  std::string path_;
};

}  // namespace

int main(int argc, char **argv) {
  bool steal = false;
  int hold = 0;
  const char *reason = nullptr;
  std::string path;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--steal") {
      steal = true;
    } else if (arg == "--reason" && i + 1 < argc) {
      reason = argv[++i];
    } else if (arg == "--hold" && i + 1 < argc) {
      hold = atoi(argv[++i]);
    } else if (arg[0] != '-' && path.empty()) {
      path = arg;
    } else {
      path.clear();
      break;
    }
  }
  if (path.empty()) {
    std::cerr << "usage: " << argv[0] << " [--steal] [--reason TEXT] [--hold SECONDS] FILE\n";
    return 2;
  }
  orvInit(&argc, argv);
  try {
    EditLock lock(path, reason, steal);
    std::cout << "locked " << path << std::endl;
    sleep(static_cast<unsigned>(hold));
  } catch (const std::exception &e) {
    std::cerr << "cannot lock " << e.what() << "\n";
    return 1;
  }
  std::cout << "released " << path << std::endl;
  return 0;
}
