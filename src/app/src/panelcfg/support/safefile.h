// Every file the utility reads or writes goes through these calls: no link at the path is
// followed, no FIFO or device can block the caller or be read, only regular files are opened,
// and a file is replaced by a fresh one made exclusively beside it and renamed over it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdio>

// errno value of a path that holds something other than a regular file.
constexpr int kErrNotRegular = 0x10000 + 1;

// The text for an errno value of these calls: "not a regular file" for kErrNotRegular, "a
// symbolic link, not followed" for ELOOP, the system's text otherwise.
const char *SafeFileError(int err);

// Opens path with flags (O_RDONLY or O_RDWR, O_CREAT allowed with mode) never through a link
// and without blocking, and only when it is a regular file; the descriptor is then blocking
// again and closed on exec. Returns it, or -1 with errno set (kErrNotRegular: something else is
// at the path, refused before a byte is read).
int SafeOpen(const char *path, int flags, mode_t mode = 0);

// The same, for reading through stdio, and only a file of at most maxBytes (larger: EFBIG,
// unread). Returns null with errno set.
constexpr long kSafeReadMax = 65536;
FILE *SafeOpenRead(const char *path, long maxBytes = kSafeReadMax);

// Creates path with the len bytes of content, only when nothing is at the path (O_CREAT, O_EXCL,
// O_NOFOLLOW, mode mode before the umask). Returns 0, or -1 with errno set (EEXIST: something is
// at the path, left as it is); a file that cannot be written in full is removed again.
int SafeCreateFile(const char *path, const char *content, size_t len, mode_t mode);

// Which step of SafeReplaceFile failed.
enum SafeReplaceStep { SAFE_REPLACED = 0, SAFE_CREATE, SAFE_WRITE, SAFE_RENAME };

// Replaces path with the len bytes of content: they are written in full to a fresh file beside
// it (path.newPID-N, created with O_EXCL and O_NOFOLLOW, mode mode before the umask) and renamed
// over it, so readers see the old file or the complete new one, and a link at the path is
// replaced, never followed. With keepModeOwner a regular file it replaces gives the new one its
// mode, owner and group (only root may give a file away: otherwise the permission bits alone).
// When it fails, the old file stays, nothing else is left and errno is set. Returns the step
// that failed, SAFE_REPLACED when none did.
SafeReplaceStep SafeReplaceFile(const char *path, const char *content, size_t len, mode_t mode,
                                bool keepModeOwner);
