// host_settings.cc - reading and parsing the host's settings file, once per process.
#include "host_settings.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>

#include "posix_io.h"

namespace protocol {

const char kHostSettingsPath[] = "/etc/default/editlock";
// An environment variable, so that tests and a user trying settings out need no write access to
// /etc. It gives nothing away: every key the file can set, the environment can set already.
const char kHostSettingsPathVariable[] = "VAK_SETTINGS_FILE";
const char *const kHostSettingKeys[kHostSettingKeyCount] = {
    "VAK_PORTNUM", "VAK_DONT_QUERY_REMOTE_HOSTS", "VAK_VAKBD_CONNECT_TIMEOUT"};

namespace {

const char kBlanks[] = " \t";

// Characters a bare value may hold: none that a shell would expand, split or redirect at.
bool BareChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         (c != '\0' && strchr("._-:/,+@%=", c) != nullptr);
}

// Whether nothing but blanks follows a value. A comment after a value is not one to systemd,
// which reads the same file as the service's environment and would take it into the value.
bool OnlyBlanksAfter(const char *rest) {
  return rest[strspn(rest, kBlanks)] == '\0';
}

// The value that begins at v, terminated in place; nullptr when the line is not one of ours.
char *ParseValue(char *v) {
  char *end;
  if (*v == '"' || *v == '\'') {
    end = strchr(v + 1, *v);
    // Inside double quotes a shell would still expand $, ` and \; such a value means what only a
    // shell can work out.
    if (end == nullptr ||
        (*v == '"' && strcspn(v + 1, "$`\\") < static_cast<size_t>(end - v - 1))) {
      return nullptr;
    }
    ++v;
    if (!OnlyBlanksAfter(end + 1)) return nullptr;
  } else {
    end = v;
    while (BareChar(*end)) ++end;
    if (!OnlyBlanksAfter(end)) return nullptr;
  }
  *end = '\0';
  return v;
}

void ParseLine(char *line, HostSettings *settings) {
  const size_t length = strlen(line);
  if (length > 0 && line[length - 1] == '\r') line[length - 1] = '\0';
  char *p = line + strspn(line, kBlanks);
  if (*p == '\0' || *p == '#') return;
  for (int k = 0; k < kHostSettingKeyCount; ++k) {
    const size_t keyLength = strlen(kHostSettingKeys[k]);
    if (strncmp(p, kHostSettingKeys[k], keyLength) != 0 || p[keyLength] != '=') continue;
    char *value = ParseValue(p + keyLength + 1);
    if (value != nullptr) settings->values[k] = value;
    return;
  }
}

// The file, read once: the values point into text.
struct LoadedSettings {
  char text[kMaxHostSettingsBytes + 1];
  HostSettings settings;
};
LoadedSettings gLoaded;
std::once_flag gLoadOnce;

void Load() {
  const char *path = getenv(kHostSettingsPathVariable);
  if (path == nullptr) path = kHostSettingsPath;
  if (*path == '\0') return;
  // Non-blocking, so that a FIFO put at the path cannot hang the opening process.
  orv::UniqueFd fd(
      orv::RetryOnEintr([&] { return open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY); }));
  struct stat info;
  if (!fd.valid() || fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
      info.st_size > kMaxHostSettingsBytes) {
    return;
  }
  size_t got = 0;
  // One byte more than allowed: a file that grew after fstat is still found too long.
  while (got <= kMaxHostSettingsBytes) {
    ssize_t n = orv::RetryOnEintr(
        [&] { return read(fd.get(), gLoaded.text + got, kMaxHostSettingsBytes + 1 - got); });
    if (n < 0) return;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  // A NUL would hide the rest of its line; a text file has none.
  if (got > kMaxHostSettingsBytes || memchr(gLoaded.text, '\0', got) != nullptr) return;
  gLoaded.text[got] = '\0';
  ParseHostSettings(gLoaded.text, &gLoaded.settings);
}

}  // namespace

void ParseHostSettings(char *text, HostSettings *settings) {
  for (char *line = text; line != nullptr;) {
    char *next = strchr(line, '\n');
    if (next != nullptr) *next++ = '\0';
    ParseLine(line, settings);
    line = next;
  }
}

const char *HostSetting(const char *name) {
  const char *value = getenv(name);
  if (value != nullptr) return value;
  for (int k = 0; k < kHostSettingKeyCount; ++k) {
    if (strcmp(name, kHostSettingKeys[k]) != 0) continue;
    std::call_once(gLoadOnce, Load);
    return gLoaded.settings.values[k];
  }
  return nullptr;
}

}  // namespace protocol
