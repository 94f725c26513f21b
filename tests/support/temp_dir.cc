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

TempDir::TempDir() {
  const char *base = getenv("TMPDIR");
  path_ = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/vaktest.XXXXXX";
  if (mkdtemp(&path_[0]) == nullptr) ADD_FAILURE() << "mkdtemp failed: " << strerror(errno);
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
