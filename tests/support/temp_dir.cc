#include "temp_dir.h"

#include <dirent.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

namespace vaktest {

namespace {

// Whether a user with no rights of owner or group can reach the directory: every directory on
// the way must be searchable by others.
bool EveryoneCanEnter(const std::string &dir) {
  for (size_t end = dir.size(); end != std::string::npos && end > 0;
       end = dir.rfind('/', end - 1)) {
    struct stat st;
    if (stat(dir.substr(0, end).c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0) return false;
  }
  return true;
}

}  // namespace

TempDir::TempDir(Reach reach) {
  const char *env = getenv("TMPDIR");
  std::string base = env != nullptr && *env != '\0' ? env : "/tmp";
  if (reach == kEveryone && !EveryoneCanEnter(base)) base = "/tmp";
  path_ = base + "/vaktest.XXXXXX";
  if (mkdtemp(&path_[0]) == nullptr) {
    ADD_FAILURE() << "mkdtemp failed: " << strerror(errno);
  } else if (reach == kEveryone && chmod(path_.c_str(), 0755) != 0) {
    ADD_FAILURE() << "chmod " << path_ << " failed: " << strerror(errno);
  }
}

void WriteFile(const std::string &path, const std::string &content) {
  for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
    mkdir(path.substr(0, pos).c_str(), 0777);
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  EXPECT_TRUE(static_cast<bool>(out << content)) << "cannot write " << path;
}

std::string ReadFile(const std::string &path) {
  std::ostringstream s;
  s << std::ifstream(path, std::ios::binary).rdbuf();
  return s.str();
}

bool Exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

void RemoveTree(const std::string &path) {
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    chmod(path.c_str(), 0700);  // a test may have taken the permissions away
    if (DIR *dir = opendir(path.c_str())) {
      while (struct dirent *e = readdir(dir)) {
        std::string name = e->d_name;
        if (name != "." && name != "..") RemoveTree(path + "/" + name);
      }
      closedir(dir);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

}  // namespace vaktest
