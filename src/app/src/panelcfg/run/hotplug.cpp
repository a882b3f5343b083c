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
#include "../policy/identity.h"
#include "../scan/devtable.h"
#include "../scan/scan.h"

namespace {

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kBadUsage = 2;

long Now() {
  timespec ts{};
  clock_gettime(CLOCK_BOOTTIME, &ts);
  return static_cast<long>(ts.tv_sec);
}

// The record of this plug-in: recordDir/hotplug-<name>.
bool RecordPath(char *out, size_t size, const char *recordDir, const char *name) {
  const int n = snprintf(out, size, "%s/hotplug-%s", recordDir, name);
  return n > 0 && static_cast<size_t>(n) < size;
}

// The tries of this plug-in so far: 0 without a record, or with one written longer ago than
// kHotplugSameMinute (another plug-in), or from before this boot.
int TriesSoFar(const char *path) {
  FILE *f = fopen(path, "re");
  if (f == nullptr)
    return 0;
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

// Writes the record (a fresh file renamed over the old one); a record that cannot be written
// is said once and does not stop the handler.
void SaveTries(const char *recordDir, const char *path, int tries) {
  if (mkdir(recordDir, 0755) != 0 && errno != EEXIST) {
    fprintf(stderr, "panelcfg: cannot create %s: %s\n", recordDir, strerror(errno));
    return;
  }
  char tmp[600];
  snprintf(tmp, sizeof tmp, "%s.new%d", path, static_cast<int>(getpid()));
  FILE *f = fopen(tmp, "we");
  if (f == nullptr) {
    fprintf(stderr, "panelcfg: cannot write %s: %s\n", path, strerror(errno));
    return;
  }
  fprintf(f, "tries=%d\ntime=%ld\n", tries, Now());
  if (fclose(f) != 0 || rename(tmp, path) != 0) {
    fprintf(stderr, "panelcfg: cannot write %s: %s\n", path, strerror(errno));
    unlink(tmp);
  }
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

Need Decide(const ControllerReading &r, int site) {
  Need n{};
  if (r.family == USBID_RES) {
    n.run = r.resFirmwareSupported && r.rotation != 0;
    snprintf(n.found, sizeof n.found, "resistive, firmware %s, rotation %d",
             r.resFirmwareSupported ? "supported" : "not supported", r.rotation);
    return n;
  }
  const bool identity = r.identity != READ_ID_VALID;
  // A current controller under the hybrid product ID reports either hybrid mode for both, as a
  // run reads it back.
  const bool hybrid = r.generation != 1 && r.pid == HYBRID_PID && (r.mode == 3 || r.mode == 4) &&
                      (site == 3 || site == 4);
  const bool mode = site != 0 && r.mode != site && !hybrid;
  n.run = identity || mode;
  n.word = site != 0 ? ModeWord(site) : nullptr;
  int len = snprintf(n.found, sizeof n.found, "mode %d", r.mode);
  if (site == 0)
    len += snprintf(n.found + len, sizeof n.found - len, ", no site mode");
  else if (mode)
    len += snprintf(n.found + len, sizeof n.found - len, ", site mode %d", site);
  if (identity)
    snprintf(n.found + len, sizeof n.found - len, ", %s", IdentityPhrase(r.identity));
  if (!n.run && site != 0)
    snprintf(n.found, sizeof n.found, "already in mode %d", hybrid ? site : r.mode);
  return n;
}

} // namespace

int HotplugMain(const char *spec, const char *dir, const char *lockPath, const char *recordDir) {
  fflush(stdout);
  setvbuf(stdout, nullptr, _IOLBF, 0);
  InstallStopSignals();
  SetLogMode(LOG_STDOUT);
  LoadRunSetup(2, dir);
  int lock = -1;
  if (lockPath != nullptr) {
    switch (TakeRunLock(lockPath, kRunLockWaitMs, &lock)) {
    case RUNLOCK_HELD:
    case RUNLOCK_UNAVAILABLE:
      break;
    case RUNLOCK_TIMED_OUT:
      printf("panelcfg: hotplug %s: another run held the lock too long, nothing done\n", spec);
      return kFailed;
    case RUNLOCK_INTERRUPTED:
      printf("panelcfg: hotplug %s: interrupted by %s while waiting for the other run, nothing "
             "done\n",
             spec, StopSignalName(StopSignal()));
      return 128 + StopSignal();
    }
  }
  // The device may have gone meanwhile: a reset of its own (a run that was going on) or an unplug.
  const SelectFailure chosen = SelectDevice(spec);
  ControllerReading r{};
  if (chosen == SELECT_BAD_SPEC) {
    ReleaseRunLock(lock);
    fprintf(stderr,
            "panelcfg: --hotplug takes BUS:DEV, the kernel's name of a USB device or a hidraw "
            "node, not \"%s\"\n",
            spec);
    return kBadUsage;
  }
  if (chosen == SELECT_NO_DEVICE || !ReadSelectedController(&r)) {
    ReleaseRunLock(lock);
    SetLogMode(LOG_STDOUT);
    printf("panelcfg: hotplug %s: no longer on the bus, nothing to do\n", spec);
    return kDone;
  }
  SetLogMode(LOG_STDOUT);
  char name[sizeof OneDevice.name];
  snprintf(name, sizeof name, "%s", OneDevice.name[0] != '\0' ? OneDevice.name : spec);
  char who[128];
  snprintf(who, sizeof who, "hotplug %s %04x:%04x", name, r.vid & 0xFFFF, r.pid & 0xFFFF);

  if (r.family == USBID_NONE) {
    ReleaseRunLock(lock);
    printf("panelcfg: %s: not a supported controller, nothing to do\n", who);
    return kDone;
  }
  if (!r.readable) {
    ReleaseRunLock(lock);
    printf("panelcfg: %s: %s, %s\n", who, r.failure ? "cannot be read" : "left alone", r.errorText);
    return r.failure ? kFailed : kDone;
  }
  const Need need = Decide(r, ReadUtilityConfig());
  char record[512];
  const bool recorded = RecordPath(record, sizeof record, recordDir, name);
  if (!need.run) {
    ReleaseRunLock(lock);
    // The plug-in is over: the controller is as the site wants it.
    if (recorded)
      unlink(record);
    printf("panelcfg: %s: %s, nothing to do\n", who, need.found);
    return kDone;
  }
  const int tries = recorded ? TriesSoFar(record) : 0;
  if (tries >= kHotplugTries) {
    ReleaseRunLock(lock);
    DebugMsg(0, "%s: %s, still after %d runs: left alone until it is plugged in again\n", who,
             need.found, tries);
    return kFailed;
  }
  if (recorded)
    SaveTries(recordDir, record, tries + 1);
  char program[] = "panelcfg";
  char word[16] = {};
  snprintf(word, sizeof word, "%s", need.word != nullptr ? need.word : "");
  char *args[] = {program, word, nullptr};
  const int argc = need.word != nullptr ? 2 : 1;
  if (argc == 1)
    args[1] = nullptr;
  const int status = RunWithLock(argc, args, lock);
  if (StopSignal() != 0)
    return status;
  // The run's own reset makes the controller appear again: the record counts from now.
  if (recorded)
    SaveTries(recordDir, record, tries + 1);
  const bool handled = r.family == USBID_PCT ? status > 0 : rDevIDCnt > 0;
  const char *what = r.family == USBID_RES  ? "rotation reset"
                     : need.word != nullptr ? "switched"
                                            : "identity block written";
  if (handled && tries == 0)
    printf("panelcfg: %s: %s: %s\n", who, need.found, what);
  else if (handled)
    printf("panelcfg: %s: %s: %s (run %d of %d)\n", who, need.found, what, tries + 1,
           kHotplugTries);
  else
    printf("panelcfg: %s: %s: the run failed (try %d of %d)\n", who, need.found, tries + 1,
           kHotplugTries);
  return handled ? kDone : kFailed;
}
