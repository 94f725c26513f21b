// view_probe: measures whether two views of one shared directory (two clients' mounts) agree at
// once on what a lock built on exclusive create, link(), rename(), unlink() and whole-file reads
// depends on. Usage: view_probe DIR_A DIR_B [ROUNDS]. Changes are made through A and looked at
// through B right after; B looks at each name beforehand too, so whatever B caches is warm.
// Prints one line per check: how many rounds held, and what B saw when one did not. Exits 0
// when every check held in every round, 1 otherwise, 2 on a usage or setup error.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <string>

namespace {

std::string a, b;  // the two views

// Whole content of a file, or "<ERRNO-NAME>" when open or read fails.
std::string Read(const std::string &path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::string("<") + strerrorname_np(errno) + ">";
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  const std::string failed = n < 0 ? std::string("<") + strerrorname_np(errno) + ">" : "";
  close(fd);
  return failed.empty() ? text : failed;
}

bool Write(const std::string &path, const std::string &text, int flags = O_TRUNC) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0644);
  if (fd < 0) return false;
  const bool whole = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  return close(fd) == 0 && whole;
}

std::string Errno(int r) {
  return r == 0 ? "ok" : std::string("<") + strerrorname_np(errno) + ">";
}

// What B read, named rather than quoted: the new content, the old, a failure, or something else.
std::string Seen(const std::string &seen, const std::string &now) {
  if (seen == now) return "";
  if (seen == "old " + now) return "read the old content";
  return seen.size() > 0 && seen[0] == '<' ? "read " + seen : "read something else";
}

std::string StatOf(const std::string &path, struct stat *st) {
  return Errno(stat(path.c_str(), st));
}

struct Check {
  const char *what;
  // One round on name n (A's path, B's path, round text); "" when it held, else what B saw.
  std::function<std::string(const std::string &, const std::string &, const std::string &)> run;
};

const Check kChecks[] = {
    {"create+write+close on A: B reads it whole at once",
     [](const std::string &pa, const std::string &pb, const std::string &t) {
       Read(pb);  // B has looked up the missing name
       if (!Write(pa, t, O_EXCL)) return std::string("setup failed");
       return Seen(Read(pb), t);
     }},
    {"O_EXCL on B of a name A just made: EEXIST",
     [](const std::string &pa, const std::string &pb, const std::string &t) {
       Read(pb);
       if (!Write(pa, t, O_EXCL)) return std::string("setup failed");
       int fd = open(pb.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
       const std::string r = fd >= 0 ? "created" : Errno(-1);
       if (fd >= 0) close(fd);
       return r == "<EEXIST>" ? "" : r;
     }},
    {"link() on B to a name A just linked: EEXIST",
     [](const std::string &pa, const std::string &pb, const std::string &t) {
       Read(pb);
       if (!Write(pa + ".a", t) || link((pa + ".a").c_str(), pa.c_str()) != 0)
         return std::string("setup failed");
       Write(pb + ".b", t);
       const std::string r = Errno(link((pb + ".b").c_str(), pb.c_str()));
       return r == "<EEXIST>" ? "" : r;
     }},
    {"rename on A over a name B has read: B reads the new content",
     [](const std::string &pa, const std::string &pb, const std::string &t) {
       if (!Write(pa, "old " + t)) return std::string("setup failed");
       Read(pb);
       if (!Write(pa + ".n", t) || rename((pa + ".n").c_str(), pa.c_str()) != 0)
         return std::string("setup failed");
       return Seen(Read(pb), t);
     }},
    {"B holds the name open while A renames over it: B's descriptor still reads the old content",
     [](const std::string &pa, const std::string &pb, const std::string &t) {
       if (!Write(pa, "old " + t)) return std::string("setup failed");
       int fd = open(pb.c_str(), O_RDONLY | O_CLOEXEC);
       if (fd < 0) return Errno(-1);
       if (!Write(pa + ".n", t) || rename((pa + ".n").c_str(), pa.c_str()) != 0)
         return close(fd), std::string("setup failed");
       char buf[256];
       ssize_t n = pread(fd, buf, sizeof buf, 0);
       const std::string r = n < 0 ? Errno(-1) : std::string(buf, static_cast<size_t>(n));
       close(fd);
       return r == "old " + t ? "" : r == t ? "read the new content" : Seen(r, t);
     }},
    {"unlink on A: B's open fails ENOENT at once",
     [](const std::string &pa, const std::string &pb, const std::string &t) {
       if (!Write(pa, t)) return std::string("setup failed");
       Read(pb);
       if (unlink(pa.c_str()) != 0) return std::string("setup failed");
       const std::string seen = Read(pb);
       return seen == "<ENOENT>" ? "" : seen == t ? "read the unlinked content" : Seen(seen, t);
     }},
    {"st_ino: A and B agree, and B sees a replacement's new number",
     [](const std::string &pa, const std::string &pb, const std::string &t) {
       struct stat sa, sb;
       if (!Write(pa, t) || StatOf(pa, &sa) != "ok") return std::string("setup failed");
       if (StatOf(pb, &sb) != "ok" || sa.st_ino != sb.st_ino) return std::string("numbers differ");
       if (!Write(pa + ".n", t) || rename((pa + ".n").c_str(), pa.c_str()) != 0 ||
           StatOf(pa, &sa) != "ok") {
         return std::string("setup failed");
       }
       const std::string r = StatOf(pb, &sb);
       return r != "ok"                ? r
              : sa.st_ino == sb.st_ino ? ""
                                       : std::string("old number after replacement");
     }},
    {"st_nlink: B sees 2 after A's link() and 1 after A's unlink",
     [](const std::string &pa, const std::string &pb, const std::string &t) {
       struct stat sb;
       if (!Write(pa, t) || StatOf(pb, &sb) != "ok") return std::string("setup failed");
       if (link(pa.c_str(), (pa + ".l").c_str()) != 0) return std::string("setup failed");
       std::string r = StatOf(pb, &sb);
       if (r != "ok" || sb.st_nlink != 2)
         return r + " nlink " + std::to_string(sb.st_nlink) + " after link";
       if (unlink((pa + ".l").c_str()) != 0) return std::string("setup failed");
       r = StatOf(pb, &sb);
       return r == "ok" && sb.st_nlink == 1
                  ? ""
                  : r + " nlink " + std::to_string(sb.st_nlink) + " after unlink";
     }},
    {"size: B's stat after A rewrites the file in place gives the new size",
     [](const std::string &pa, const std::string &pb, const std::string &t) {
       struct stat sb;
       if (!Write(pa, "x") || StatOf(pb, &sb) != "ok") return std::string("setup failed");
       if (!Write(pa, t)) return std::string("setup failed");
       const std::string r = StatOf(pb, &sb);
       return r == "ok" && sb.st_size == static_cast<off_t>(t.size())
                  ? ""
                  : r + " size " + std::to_string(sb.st_size);
     }},
};

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: view_probe DIR_A DIR_B [ROUNDS]\n");
    return 2;
  }
  a = argv[1];
  b = argv[2];
  const int rounds = argc > 3 ? atoi(argv[3]) : 100;
  const std::string dir = "probe." + std::to_string(getpid());
  if (mkdir((a + "/" + dir).c_str(), 0755) != 0) {
    perror("view_probe: mkdir");
    return 2;
  }
  bool allHeld = true;
  int index = 0;
  for (const Check &c : kChecks) {
    std::map<std::string, int> seen;
    int held = 0;
    for (int r = 0; r < rounds; ++r) {
      const std::string name = dir + "/c" + std::to_string(index) + "r" + std::to_string(r);
      // A differing length every round: a stale size shows as a short or a long read.
      const std::string text =
          "round " + std::to_string(r) + std::string(static_cast<size_t>(r % 7), '+');
      const std::string what = c.run(a + "/" + name, b + "/" + name, text);
      what.empty() ? ++held : ++seen[what];
    }
    ++index;
    allHeld = allHeld && held == rounds;
    printf("%-4s %d/%d  %s", held == rounds ? "ok" : "FAIL", held, rounds, c.what);
    for (const auto &s : seen) printf("  [%dx %s]", s.second, s.first.c_str());
    printf("\n");
  }
  if (system(("rm -rf '" + a + "/" + dir + "'").c_str()) != 0) fprintf(stderr, "cleanup failed\n");
  return allHeld ? 0 : 1;
}
