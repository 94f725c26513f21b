// init_state.h - the common library's start-up: the recorded program name (arg0) and whether an
// install root is required (orvInit, cmn*InstallRootRequired and orvPlat of orv.h).
#ifndef ORV_INIT_STATE_H_
#define ORV_INIT_STATE_H_

namespace orv {

int Init(int *argc, char **argv);
int InitNonORVApp(const char *executableName);
int InitDone();
void NoInstallRootRequired();
int GetInstallRootRequired();
void SetInstallRootRequired(int required);
const char *Plat();

// The recorded arg0, up to ORV_PATH_BUF_SIZE characters ("" when none was given).
const char *RecordedExecutableName();
// Records name (NULL as ""), cut beyond ORV_PATH_BUF_SIZE characters.
void RecordExecutableName(const char *name);

}  // namespace orv

#endif  // ORV_INIT_STATE_H_
