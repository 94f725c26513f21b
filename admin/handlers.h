// handlers.h - the administrative command handlers called by the shell with the texts as typed.
#ifndef VAK_ADMIN_HANDLERS_H_
#define VAK_ADMIN_HANDLERS_H_

void doSystem(const char *commandLine);
void doAle(const char *dirHier);
// pid and creationTime may be NULL.
void doAPle(const char *dirHier, const char *hostName, const char *pid, const char *creationTime);
void doAre(const char *dirHier);
void doAPre(const char *dirHier, const char *hostName, const char *pid, const char *creationTime);
void doAsre(const char *filePath);

#endif  // VAK_ADMIN_HANDLERS_H_
