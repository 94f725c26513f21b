// temp_dir.h - a temporary directory that is removed with everything below it.
#ifndef VAK_TESTS_TEMP_DIR_H_
#define VAK_TESTS_TEMP_DIR_H_

#include <string>

namespace vaktest {

// Removes a tree (files, links, directories), like rm -rf.
void RemoveTree(const std::string &path);

class TempDir {
 public:
  // kOwner: mode 0700 below $TMPDIR (default /tmp). kEveryone: mode 0755 below a directory that
  // every user can enter ($TMPDIR if it is one, else /tmp), for trees that a test reads or runs as
  // another user.
  enum Reach { kOwner, kEveryone };
  explicit TempDir(Reach reach = kOwner);
  ~TempDir() { RemoveTree(path_); }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  const std::string &path() const { return path_; }
  std::string Sub(const std::string &relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

// Writes a file (creating parent directories); fails the test on error.
void WriteFile(const std::string &path, const std::string &content);
// Whole content of a file; empty if it cannot be read.
std::string ReadFile(const std::string &path);
bool Exists(const std::string &path);

}  // namespace vaktest

#endif  // VAK_TESTS_TEMP_DIR_H_
