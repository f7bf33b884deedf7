#pragma once
// The mode of every file the program makes in its folder. An office PC may have several
// operators' accounts in one group (the package gives the folder to the dialout group, setgid,
// so a new file takes the folder's group): each of them must be able to continue the journal,
// the day's workbook and their copies, whatever the umask of the account that made them.

#include <QString>

#include <sys/types.h>

namespace workbook {

// 0664 for a new file. A file written to take the place of the file at `replaced` keeps that
// file's permissions, with group read and write added.
mode_t sharedMode(const QString& replaced = {});

// Gives the open file `fd`, just made by this process, sharedMode(replaced). A file that
// another account made (a leftover reopened) keeps the mode the program gave it then.
void makeShared(int fd, const QString& replaced = {});
// The same for the file at `path`, just made by this process (a copy).
void makeShared(const QString& path);

// Gives the open file `fd` at `path`, when this account owns it and it lacks group read or
// write, group read and write (a file made before under a stricter umask, continued in place).
void shareIfOwned(int fd, const QString& path);

// Opens `path` with `flags` (without O_CREAT), creating it with sharedMode() when it is
// missing; a file there that this account owns gets group read and write if it lacks them
// (one made before, under a stricter umask). -1 with errno set as by open(2).
int openShared(const QString& path, int flags);

} // namespace workbook
