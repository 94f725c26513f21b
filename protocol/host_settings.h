// host_settings.h - the settings every program of this host shares: /etc/default/editlock.
//
// The file holds shell-style KEY=VALUE lines for a few of the environment variables the library
// and vakbd read (kHostSettingKeys). It only fills in where the environment is silent: a variable
// set in the environment, even to an empty value, always wins, and without the file every program
// behaves as the environment alone says. The same file is the service unit's EnvironmentFile, so
// it must stay valid for systemd and for sh; but nothing in it is ever executed here.
//
// Accepted lines: KEY=VALUE where KEY is one of the keys and VALUE is a bare word, "double
// quoted" or 'single quoted' text, optionally followed by blanks; blank lines and lines of a #
// comment. A line that needs a shell to mean something (expansions, escapes, several words,
// another key) is ignored whole, rather than taken for something it may not mean. The last
// accepted line of a key wins, as in the shell.
//
// The file is read once per process, at the first question, from any thread. A missing,
// unreadable, oversized or non-regular file gives no settings.
#ifndef VAK_PROTOCOL_HOST_SETTINGS_H_
#define VAK_PROTOCOL_HOST_SETTINGS_H_

#include <stddef.h>

namespace protocol {

// Where the settings are, unless VAK_SETTINGS_FILE names another file (an empty value: none).
extern const char kHostSettingsPath[];          // "/etc/default/editlock"
extern const char kHostSettingsPathVariable[];  // "VAK_SETTINGS_FILE"

// The keys the file may set; anything else in it is ignored.
enum HostSettingKey {
  kSettingPort,            // VAK_PORTNUM
  kSettingDontQueryHosts,  // VAK_DONT_QUERY_REMOTE_HOSTS
  kSettingConnectTimeout,  // VAK_VAKBD_CONNECT_TIMEOUT
  kHostSettingKeyCount
};
extern const char *const kHostSettingKeys[kHostSettingKeyCount];

// Longest settings file read; a larger one is not a settings file of ours.
enum { kMaxHostSettingsBytes = 32768 };

// The parsed file: one value per key (nullptr: not set), pointing into text, which the parse
// changes in place.
struct HostSettings {
  const char *values[kHostSettingKeyCount] = {};
};
void ParseHostSettings(char *text, HostSettings *settings);

// The value of an environment variable named by kHostSettingKeys: the environment's when it has
// the variable, else the settings file's, else nullptr. Any other name is looked up in the
// environment alone.
const char *HostSetting(const char *name);

}  // namespace protocol

#endif  // VAK_PROTOCOL_HOST_SETTINGS_H_
