#include "hotplug.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "../base/log.h"
#include "../base/runlock.h"
#include "../base/state.h"
#include "../base/stop.h"
#include "../lists/registry.h"
#include "../policy/dispatch.h"
#include "../policy/identity.h"
#include "../scan/devtable.h"
#include "../scan/scan.h"
#include "../support/safefile.h"
#include "../transport/hid.h"
#include "driver.h"

namespace {

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kBadUsage = 2;

long Now() {
  timespec ts{};
  clock_gettime(CLOCK_BOOTTIME, &ts);
  return static_cast<long>(ts.tv_sec);
}

// The tries of this plug-in so far: 0 without a record, or with one written longer ago than
// kHotplugSameMinute (another plug-in), or from before this boot; -1 with errno set when
// something at the path cannot be read (a directory, a FIFO, a link).
int TriesSoFar(const char *path) {
  FILE *f = SafeOpenRead(path);
  if (f == nullptr)
    return errno == ENOENT ? 0 : -1;
  long tries = -1;
  long when = -1;
  char line[64];
  while (fgets(line, sizeof line, f) != nullptr) {
    char *end = nullptr;
    if (strncmp(line, "tries=", 6) == 0)
      tries = strtol(line + 6, &end, 10);
    else if (strncmp(line, "time=", 5) == 0)
      when = strtol(line + 5, &end, 10);
    if (end != nullptr && *end != '\n' && *end != '\0')
      tries = -1;
  }
  fclose(f);
  const bool read = tries >= 0 && tries <= kHotplugTries;
  const long age = Now() - when;
  if (!read || age < 0 || age > kHotplugSameMinute)
    return 0;
  return static_cast<int>(tries);
}

// The folder of the records, made (mode 0700) when missing. One that exists must be a real
// directory of this user that no one else may write: else another user could plant or remove
// records. Returns the reason it cannot be used, or null.
const char *RecordFolderRefused(const char *recordDir) {
  if (mkdir(recordDir, 0700) != 0 && errno != EEXIST)
    return strerror(errno);
  struct stat info {};
  if (lstat(recordDir, &info) != 0)
    return strerror(errno);
  if (!S_ISDIR(info.st_mode))
    return "not a directory";
  if (info.st_uid != geteuid())
    return "owned by another user";
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
    return "writable by other users";
  return nullptr;
}

// Writes the record through a fresh file renamed over it; the reason when it cannot be, or null.
const char *SaveTries(const char *path, int tries) {
  char text[64];
  const int n = snprintf(text, sizeof text, "tries=%d\ntime=%ld\n", tries, Now());
  if (SafeReplaceFile(path, text, static_cast<size_t>(n), 0600, false) != SAFE_REPLACED)
    return SafeFileError(errno);
  return nullptr;
}

const char *ModeWord(int mode) {
  static constexpr const char *kWords[] = {"--digitizer", "--mouse", "--hybrid-d", "--hybrid-m"};
  return mode >= 1 && mode <= 4 ? kWords[mode - 1] : nullptr;
}

// What the controller needs: whether a run, which word (null: none), and what was found.
struct Need {
  bool run;
  const char *word;
  char found[160];
};

// A mode as the messages show it: its stored number and the mode a user asks for to get it.
int ShowMode(char *out, size_t size, const char *what, const ControllerReading &r, int stored) {
  return snprintf(out, size, "%s %d (%s)", what, stored,
                  PositionModeName(stored, r.generation, r.chip, r.fwRev));
}

Need Decide(const ControllerReading &r, int site) {
  Need n{};
  if (r.family == USBID_RES) {
    n.run = r.resFirmwareSupported && r.rotation != 0;
    snprintf(n.found, sizeof n.found, "resistive, firmware %s, rotation %d",
             r.resFirmwareSupported ? "supported" : "not supported", r.rotation);
    return n;
  }
  // The identity block is not read when the mode already calls for a run.
  const bool identity = r.identity != READ_ID_VALID && r.identity != READ_ID_NOT_READ;
  const int target = StoredPositionMode(site, r.generation, r.chip, r.fwRev);
  const bool mode = site != 0 && !InSiteMode(r.mode, r.pid, r.generation, r.chip, r.fwRev, site);
  n.run = identity || mode;
  n.word = site != 0 ? ModeWord(site) : nullptr;
  size_t len = static_cast<size_t>(ShowMode(n.found, sizeof n.found, "mode", r, r.mode));
  if (site == 0)
    len += static_cast<size_t>(snprintf(n.found + len, sizeof n.found - len, ", no site mode"));
  else if (mode)
    len += static_cast<size_t>(
        ShowMode(n.found + len, sizeof n.found - len, ", site mode", r, target));
  if (identity)
    snprintf(n.found + len, sizeof n.found - len, ", %s", IdentityPhrase(r.identity));
  if (!n.run && site != 0)
    ShowMode(n.found, sizeof n.found, "already in mode", r, r.mode);
  return n;
}

} // namespace

int HotplugLockNotTaken(const char *spec, RunLockResult why) {
  if (why == RUNLOCK_INTERRUPTED) {
    JournalLine(3,
                "panelcfg: hotplug %s: interrupted by %s while waiting for the other run, nothing "
                "done\n",
                Shown(spec).text, StopSignalName(StopSignal()));
    fflush(stdout);
    return 128 + StopSignal();
  }
  JournalLine(3, "panelcfg: hotplug %s: %s, nothing done\n", Shown(spec).text,
              why == RUNLOCK_TIMED_OUT ? "another run held the lock too long"
                                       : "the run lock cannot be taken");
  fflush(stdout);
  return kFailed;
}

namespace {

// The handler between the journal's lines: everything but the one line of its own at debug.
int Handle(const char *spec, const char *dir, const char *lockPath, const char *recordDir) {
  LoadRunSetup(2, dir);
  // The device's own lock is named by the device: it is looked up first, and again once the
  // lock is held, for it may have gone meanwhile (a reset of its own in a run that was going on,
  // or an unplug). Handlers of other devices run at the same time.
  SelectFailure chosen = SelectDevice(spec);
  if (chosen == SELECT_BAD_SPEC) {
    fprintf(stderr,
            "panelcfg: --hotplug takes BUS:DEV, the kernel's name of a USB device or a hidraw "
            "node, not \"%s\"\n",
            Shown(spec).text);
    return kBadUsage;
  }
  int lock = -1;
  if (lockPath != nullptr && chosen == SELECT_OK) {
    const RunLockResult taken = TakeRunLock(lockPath, kRunLockWaitMs, &lock, OneDevice.name);
    if (taken != RUNLOCK_HELD && taken != RUNLOCK_UNAVAILABLE)
      return HotplugLockNotTaken(spec, taken);
    chosen = SelectDevice(spec);
  }
  // Without a site mode it can read, the handler does not guess one; it still tells a device it
  // has nothing to do with.
  const int site = ReadUtilityConfig();
  const int siteErr = errno;
  ControllerReading r{};
  if (chosen != SELECT_OK || !ReadSelectedController(&r, site > 0 ? site : 0)) {
    ReleaseRunLock(lock);
    SetLogMode(LOG_STDOUT);
    JournalLine(6, "panelcfg: hotplug %s: no longer on the bus, nothing to do\n", Shown(spec).text);
    return kDone;
  }
  SetLogMode(LOG_STDOUT);
  char who[320];
  snprintf(who, sizeof who, "hotplug %s %04x:%04x",
           OneDevice.name[0] != '\0' ? OneDevice.name : Shown(spec).text, r.vid & 0xFFFF,
           r.pid & 0xFFFF);
  if (StopSignal() != 0) {
    ReleaseRunLock(lock);
    JournalLine(3, "panelcfg: %s: interrupted by %s while it was read, nothing done\n", who,
                StopSignalName(StopSignal()));
    return 128 + StopSignal();
  }
  if (r.family == USBID_NONE) {
    ReleaseRunLock(lock);
    JournalLine(6, "panelcfg: %s: not a supported controller, nothing to do\n", who);
    return kDone;
  }
  if (site < 0) {
    ReleaseRunLock(lock);
    JournalLine(3, "EE:%s: cannot read %sUtil.conf: %s; nothing done\n", who, PanelDir,
                SafeFileError(siteErr));
    return kFailed;
  }
  if (!r.readable) {
    ReleaseRunLock(lock);
    JournalLine(r.failure ? 3 : 6, "panelcfg: %s: %s, %s\n", who,
                r.failure ? "cannot be read" : "left alone", r.errorText);
    return r.failure ? kFailed : kDone;
  }
  const Need need = Decide(r, site);
  // The record of this plug-in: recordDir/hotplug-<kernel name>. A try that cannot be recorded
  // is not made: the run's reset is a new plug-in event, and uncounted tries would never end.
  char record[512];
  const int len = snprintf(record, sizeof record, "%s/hotplug-%s", recordDir,
                           OneDevice.name[0] != '\0' ? OneDevice.name : "unnamed");
  const char *refused = len > 0 && static_cast<size_t>(len) < sizeof record
                            ? RecordFolderRefused(recordDir)
                            : strerror(ENAMETOOLONG);
  if (!need.run) {
    ReleaseRunLock(lock);
    // The plug-in is over: the controller is as the site wants it.
    if (refused == nullptr)
      unlink(record);
    JournalLine(6, "panelcfg: %s: %s, nothing to do\n", who, need.found);
    return kDone;
  }
  const int tries = refused == nullptr ? TriesSoFar(record) : -1;
  if (refused == nullptr && tries < 0)
    refused = SafeFileError(errno);
  if (refused == nullptr && tries < kHotplugTries)
    refused = SaveTries(record, tries + 1);
  if (refused != nullptr) {
    ReleaseRunLock(lock);
    JournalLine(3, "EE:%s: %s: cannot keep the record %s: %s; nothing done\n", who, need.found,
                record, refused);
    return kFailed;
  }
  if (tries >= kHotplugTries) {
    ReleaseRunLock(lock);
    JournalLine(3, "EE:%s: %s, still after %d runs: left alone until it is plugged in again\n", who,
                need.found, tries);
    return kFailed;
  }
  char program[] = "panelcfg";
  char word[16] = {};
  snprintf(word, sizeof word, "%s", need.word != nullptr ? need.word : "");
  char *args[] = {program, need.word != nullptr ? word : nullptr, nullptr};
  ReachedCnt = 0;
  MissedCnt = 0;
  LeftWithoutDriverCnt = 0;
  // The run leaves the lock to the handler, which still has its record to write.
  const int status = RunWithLock(need.word != nullptr ? 2 : 1, args, -1);
  if (StopSignal() != 0) {
    // The try was made, in part: it counts.
    ReleaseRunLock(lock);
    JournalLine(3, "panelcfg: %s: %s: interrupted by %s during the run (try %d of %d)\n", who,
                need.found, StopSignalName(StopSignal()), tries + 1, kHotplugTries);
    return status;
  }
  // The run's own reset makes the controller appear again: the record counts from now.
  refused = SaveTries(record, tries + 1);
  // A controller the run took from its kernel driver and could not give back (its claim refused
  // after the detach) stays dead until it is reset: it is, once, as --recover does.
  const bool dead = LeftWithoutDriverCnt > 0 && SelectDevice(OneDevice.name) == SELECT_OK &&
                    RecoverControllers() > 0;
  ReleaseRunLock(lock);
  // Success is what the controller reached, not that it was handled.
  const bool reached = ReachedCnt > 0 && MissedCnt == 0 && !dead;
  const char *what = r.family == USBID_RES  ? "rotation reset"
                     : need.word != nullptr ? "switched"
                                            : "identity block written";
  if (refused != nullptr)
    JournalLine(3, "EE:%s: %s: %s, but the record %s cannot be kept: %s\n", who, need.found,
                reached ? what : "the run failed", record, refused);
  else if (dead)
    JournalLine(3,
                "panelcfg: %s: %s: the run left it without its kernel driver, reset (try %d of "
                "%d)\n",
                who, need.found, tries + 1, kHotplugTries);
  else if (reached && tries == 0)
    JournalLine(6, "panelcfg: %s: %s: %s\n", who, need.found, what);
  else if (reached)
    JournalLine(6, "panelcfg: %s: %s: %s (run %d of %d)\n", who, need.found, what, tries + 1,
                kHotplugTries);
  else
    JournalLine(3, "panelcfg: %s: %s: the run failed (try %d of %d)\n", who, need.found, tries + 1,
                kHotplugTries);
  return reached && refused == nullptr ? kDone : kFailed;
}

} // namespace

int HotplugMain(const char *spec, const char *dir, const char *lockPath, const char *recordDir) {
  fflush(stdout);
  setvbuf(stdout, nullptr, _IOLBF, 0);
  InstallStopSignals();
  SetLogMode(LOG_STDOUT);
  BeginCheckedOutput(true);
  int status = Handle(spec, dir, lockPath, recordDir);
  SetLogMode(LOG_STDOUT);
  if (!EndCheckedOutput() && status == kDone)
    status = kFailed;
  return status;
}
