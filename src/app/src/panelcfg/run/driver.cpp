#include "driver.h"

#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <vector>

#include <nlohmann/json.hpp>

#include "../base/log.h"
#include "../base/record.h"
#include "../base/runlock.h"
#include "../base/state.h"
#include "../base/stop.h"
#include "../lists/registry.h"
#include "../policy/identity.h"
#include "../scan/devtable.h"
#include "../scan/scan.h"
#include "../support/safefile.h"
#include "../support/support.h"
#include "hotplug.h"

namespace {

struct OperationWord {
  const char *word;
  int functionMode; // -1: FunctionMode unchanged
  int posMode;      // -1: POSMode unchanged, -2: from the second argument
  bool writesUtilConf;
};

// Tested in this order; a word that contains another comes before it.
constexpr OperationWord kWords[] = {
    {"--digitizer", -1, 1, true},
    {"--mouse-test", FM_TEST, 2, false},
    {"--mouse", -1, 2, true},
    {"--hybrid-d", -1, 3, true},
    {"--hybrid-m", -1, 4, true},
    {"--clean", FM_CLEAN, -1, false},
    {"--rotation", FM_ROTATION, -1, false},
    {"--digi-test", FM_TEST, 1, false},
    {"--sn", FM_SN, -1, false},
    {"setpos", FM_SETPOS, -2, false},
    {"getpos", FM_GETPOS, -1, false},
};

void PrintUsage() {
  fputs("Usage: panelcfg [WORD [MODE|ARG [not]]]\n"
        "Finds the supported USB touch-panel controllers and configures them.\n"
        "Without a word every PCT controller gets a valid identity block and keeps its mode.\n"
        "\n"
        "Words:\n"
        "  --digitizer   switch PCT controllers to digitizer mode (position mode 1)\n"
        "  --mouse       switch PCT controllers to mouse mode (2)\n"
        "  --hybrid-d    switch PCT controllers to hybrid-d mode (3)\n"
        "  --hybrid-m    switch PCT controllers to hybrid-m mode (4)\n"
        "  --mouse-test  clear the parameter area, then switch to mouse mode\n"
        "  --digi-test   clear the parameter area, then switch to digitizer mode\n"
        "  --clean       clear the parameter area of PCT controllers and show it\n"
        "  --sn          read the identity block of PCT controllers (shown in debug mode)\n"
        "  --rotation    set the rotation of resistive controllers to 1 and show it\n"
        "  setpos N      write position mode N (1 to 4) to PCT controllers and reset them\n"
        "  getpos        print the position mode of PCT controllers\n"
        "  --list        list every USB device and its family; configures nothing\n"
        "  --status      show the mode and identity of every supported controller, read\n"
        "                through its kernel driver; changes nothing\n"
        "  --recover     reset the supported controllers left without their kernel driver\n"
        "  --site-mode [MODE]  show, or record in Util.conf without touching a controller,\n"
        "                the mode the hotplug handler gives new panels: digitizer, mouse,\n"
        "                hybrid-d, hybrid-m, or none\n"
        "  --hotplug SPEC  give a controller that has just appeared the mode of Util.conf\n"
        "                (and a valid identity block), with at most two runs per plug-in\n"
        "  --device SPEC handle that one device only (anywhere on the command line):\n"
        "                BUS:DEV as --list prints them, the kernel's name (1-1.4) or a\n"
        "                hidraw node; the list files keep every other panel\n"
        "  --record FILE record every USB and hidraw call of the run, its pauses and its\n"
        "                answers into FILE (anywhere on the command line; a new file only)\n"
        "  --record-serials  keep the serial numbers in the recording\n"
        "  -h, --help    show this text and exit\n"
        "  --version     show the version and exit\n"
        "\n"
        "A third argument containing \"not\" keeps a controller from being reset after a mode\n"
        "change; a mode word then needs a placeholder second argument (panelcfg --mouse x not).\n"
        "\n"
        "--list --json and --status --json print one JSON document instead.\n"
        "\n"
        "The exit status is the number of PCT controllers configured. The mode words record\n"
        "the mode in " DEFAULT_PANEL_DIR "Util.conf; the panels handled are listed in\n"
        "the list files of that directory. Debug output is on while " DEFAULT_PANEL_DIR
        "enabledebug exists. --status exits with 0 when every supported controller was read,\n"
        "1 when one could not be, 2 on bad usage.\n",
        stdout);
}

constexpr int kStatusBadUsage = 2;
constexpr int kStatusUnread = 1;

bool IsWord(int argc, char **argv, int at, const char *word) {
  return argc > at && strcmp(argv[at], word) == 0;
}

// The command line with --device SPEC taken off, wherever it stood: argv[0] stays, the rest
// moves up, so the words see the positions they would see without it.
struct CommandLine {
  int argc;
  char **argv;
  const char *spec; // null: every device
  bool twice;       // --device was given more than once
  bool missing;     // --device ends the command line
  // --record FILE and --record-serials, taken off the same way
  const char *record = nullptr;
  bool recordTwice = false;
  bool recordMissing = false;
  bool recordSerials = false;
};

// Whether argv[i] is --device (its value next) or --device=SPEC (*spec set).
bool DeviceOption(const char *arg, const char **spec) {
  if (strcmp(arg, "--device") == 0)
    return true;
  if (strncmp(arg, "--device=", 9) == 0) {
    *spec = arg + 9;
    return true;
  }
  return false;
}

// Takes --record FILE, --record=FILE or --record-serials at argv[i] (and FILE after it) into
// line; false when argv[i] is none of them.
bool TakeRecordOption(int argc, char **argv, int &i, CommandLine &line) {
  const char *file = nullptr;
  if (strcmp(argv[i], "--record-serials") == 0) {
    line.recordSerials = true;
    return true;
  }
  if (strncmp(argv[i], "--record=", 9) == 0) {
    file = argv[i] + 9;
  } else if (strcmp(argv[i], "--record") == 0) {
    if (i + 1 >= argc) {
      line.recordMissing = true;
      return true;
    }
    file = argv[++i];
  } else {
    return false;
  }
  line.recordTwice = line.recordTwice || line.record != nullptr;
  line.record = file;
  return true;
}

CommandLine WithoutDevice(int argc, char **argv, char **storage) {
  CommandLine line{1, storage, nullptr, false, false};
  storage[0] = argv[0];
  for (int i = 1; i < argc; i++) {
    const char *spec = nullptr;
    if (argv[i] == nullptr)
      break;
    if (TakeRecordOption(argc, argv, i, line))
      continue;
    if (!DeviceOption(argv[i], &spec)) {
      storage[line.argc++] = argv[i];
      continue;
    }
    if (spec == nullptr) {
      if (i + 1 >= argc) {
        line.missing = true;
        break;
      }
      spec = argv[++i];
    }
    line.twice = line.twice || line.spec != nullptr;
    line.spec = spec;
  }
  storage[line.argc] = nullptr;
  return line;
}

// The command line as the words see it, from the whole one.
CommandLine Decoded(int argc, char **argv, std::vector<char *> &storage) {
  storage.assign(static_cast<size_t>(argc) + 1, nullptr);
  return WithoutDevice(argc, argv, storage.data());
}

// Whether this command line asks for a JSON report (--list or --status with --json).
bool WantsJson(int argc, char **argv) {
  if (!IsWord(argc, argv, 1, "--list") && !IsWord(argc, argv, 1, "--status") &&
      !IsWord(argc, argv, 1, "--site-mode"))
    return false;
  for (int i = 2; i < argc; i++)
    if (strcmp(argv[i], "--json") == 0)
      return true;
  return false;
}

// A --json command that fails before its report: one document that says why, on standard
// output, so that a program always has JSON to read.
void JsonError(int argc, char **argv, const char *code, const char *text) {
  if (!WantsJson(argc, argv))
    return;
  const char *command = IsWord(argc, argv, 1, "--status")      ? "status"
                        : IsWord(argc, argv, 1, "--site-mode") ? "site-mode"
                                                               : "list";
  PrintJsonError(command, code, text);
}

// Bad usage: the message on standard error (and, for --json, the document), status 2.
int BadUsage(int argc, char **argv, const char *code, const char *message) {
  fprintf(stderr, "panelcfg: %s\nTry 'panelcfg --help'.\n", message);
  JsonError(argc, argv, code, message);
  fflush(stdout);
  return kStatusBadUsage;
}

// Chooses the device of --device SPEC; false (after the message) when SPEC names none.
bool ChooseDevice(int argc, char **argv, const char *spec) {
  char message[400];
  switch (SelectDevice(spec)) {
  case SELECT_OK:
    return true;
  case SELECT_BAD_SPEC:
    snprintf(message, sizeof message,
             "--device takes BUS:DEV, the kernel's name of a USB device or a hidraw node, not "
             "\"%s\"",
             Shown(spec).text);
    fprintf(stderr, "panelcfg: %s\n", message);
    JsonError(argc, argv, "bad-usage", message);
    break;
  case SELECT_NO_DEVICE:
    snprintf(message, sizeof message, "--device %s: no such USB device", Shown(spec).text);
    fprintf(stderr, "panelcfg: %s\n", message);
    JsonError(argc, argv, "no-such-device", message);
    break;
  }
  return false;
}

// Takes the run lock at lockPath (none when null) for this command: the whole bus alone, or with
// spec the bus shared and the device's own lock alone, so that runs on other devices go on.
// The device is chosen before (its name is its lock's) and again once the lock is held, for it
// may have enumerated anew meanwhile. Returns the status to end with, or -1 to go on with *lock
// held.
int LockFor(int argc, char **argv, const char *lockPath, const char *spec, int *lock) {
  *lock = -1;
  if (spec != nullptr && lockPath != nullptr && !ChooseDevice(argc, argv, spec))
    return kStatusBadUsage;
  if (lockPath != nullptr) {
    const RunLockResult taken =
        TakeRunLock(lockPath, kRunLockWaitMs, lock, spec != nullptr ? OneDevice.name : nullptr);
    if (taken != RUNLOCK_HELD && taken != RUNLOCK_UNAVAILABLE)
      return LockNotTaken(argc, argv, taken);
  }
  if (spec != nullptr && !ChooseDevice(argc, argv, spec)) {
    ReleaseRunLock(*lock);
    *lock = -1;
    return kStatusBadUsage;
  }
  return -1;
}

// A report (--list, --status) takes --json and nothing else.
bool ReportArgsKnown(int argc, char **argv) {
  for (int i = 2; i < argc; i++)
    if (strcmp(argv[i], "--json") != 0)
      return false;
  return true;
}

} // namespace

void LoadRunSetup(int argc, const char *dir) {
  SetPanelDir(dir);
  NotResetDevice = 0;
  POSMode = 0;
  FunctionMode = FM_CONFIGURE;
  DbgFlag = EnableDebug();

  char options[512];
  if (!PanelPath(options, sizeof options, "options.ini") || !Read_Config_File(&MyConfig, options)) {
    MyConfig.res = 0;
    MyConfig.new_fw = 0;
    MyConfig.alt_pct_vendors = 0;
    MyConfig.disable_8752 = 0;
    MyConfig.spec_display = 0;
  }
  DebugMsg(3, "v0.1\n");
  DebugMsg(3, "main start argc=%d\n", argc);

  LoadVidPid();
}

namespace {

// --status [--json]: reads, under the run lock, and reports; standard output carries the report
// alone, every message goes to standard error.
int StatusMain(int argc, char **argv, const char *dir, const char *lockPath, const char *spec) {
  const bool json = WantsJson(argc, argv);
  fflush(stdout);
  setvbuf(stdout, nullptr, _IOLBF, 0);
  InstallStopSignals();
  SetLogMode(LOG_STDERR);
  LoadRunSetup(argc, dir);
  int lock = -1;
  const int ended = LockFor(argc, argv, lockPath, spec, &lock);
  if (ended >= 0) {
    SetLogMode(LOG_STDOUT);
    return ended;
  }
  BeginCheckedOutput(false);
  int status = ReportStatus(json);
  ReleaseRunLock(lock);
  SetLogMode(LOG_STDOUT);
  if (!EndCheckedOutput() && status == 0)
    status = kStatusUnread;
  return status;
}

// The site's position mode, by the word a user gives for it: 1 to 4, 0 for "none".
int SiteModeNumber(const char *word) {
  static constexpr const char *kModes[] = {"none", "digitizer", "mouse", "hybrid-d", "hybrid-m"};
  for (int m = 0; m <= 4; m++)
    if (strcmp(word, kModes[m]) == 0)
      return m;
  return -1;
}

// The name of a site mode Util.conf records (0: none).
const char *SiteModeName(int mode) {
  static constexpr const char *kModes[] = {"none", "digitizer", "mouse", "hybrid-d", "hybrid-m"};
  return mode >= 0 && mode <= 4 ? kModes[mode] : "none";
}

// --site-mode [MODE] [--json]: shows, or records without touching a controller, the position
// mode the site wants (POSMODE of Util.conf, written as a mode word writes it; "none" removes
// Util.conf). Exit 0 done, 1 Util.conf not readable or not written, 2 bad usage.
int SiteModeMain(int argc, char **argv, const char *dir) {
  const bool json = WantsJson(argc, argv);
  const char *word = nullptr;
  for (int i = 2; i < argc; i++) {
    if (strcmp(argv[i], "--json") == 0)
      continue;
    if (word != nullptr || SiteModeNumber(argv[i]) < 0) {
      char message[400];
      snprintf(message, sizeof message,
               "--site-mode takes digitizer, mouse, hybrid-d, hybrid-m or none (and --json), not "
               "\"%s\"",
               Shown(argv[i]).text);
      return BadUsage(argc, argv, "bad-usage", message);
    }
    word = argv[i];
  }
  SetLogMode(json ? LOG_STDERR : LOG_STDOUT);
  LoadRunSetup(argc, dir);
  const int before = ReadUtilityConfig();
  if (before < 0) {
    char message[400];
    snprintf(message, sizeof message, "cannot read %sUtil.conf: %s", PanelDir,
             SafeFileError(errno));
    DebugMsg(0, "%s\n", message);
    JsonError(argc, argv, "unreadable", message);
    SetLogMode(LOG_STDOUT);
    return 1;
  }
  int after = before;
  bool done = true;
  if (word != nullptr && SiteModeNumber(word) != before) {
    after = SiteModeNumber(word);
    char path[512];
    if (after != 0) {
      done = WriteUtilityConfig(after);
    } else if (PanelPath(path, sizeof path, "Util.conf") && unlink(path) != 0 && errno != ENOENT) {
      DebugMsg(0, "cannot remove %s: %s\n", path, strerror(errno));
      done = false;
    }
  }
  SetLogMode(LOG_STDOUT);
  // What Util.conf records now: the old mode when it could not be changed.
  const int now = done ? after : before;
  const bool changed = now != before;
  BeginCheckedOutput(false);
  if (json) {
    nlohmann::ordered_json doc;
    doc["schema"] = 1;
    doc["command"] = "site-mode";
    doc["site_mode"] = now != 0
                           ? nlohmann::ordered_json{{"number", now}, {"name", SiteModeName(now)}}
                           : nlohmann::ordered_json(nullptr);
    doc["changed"] = changed;
    printf("%s\n", doc.dump(2).c_str());
  } else if (done && now != 0) {
    printf("site mode %d (%s)%s\n", now, SiteModeName(now), changed ? ", recorded" : "");
  } else if (done) {
    printf("no site mode%s\n", changed ? ", removed" : "");
  }
  return EndCheckedOutput() && done ? 0 : 1;
}

} // namespace

// Ends a run stopped by a signal} // namespace

// Ends a run stopped by a signal: one line, the lock released, 128 + the signal number.
// unvisited < 0: the run was still waiting for the lock.
int EndInterruptedRun(int unvisited, int lock) {
  ReleaseRunLock(lock);
  const int sig = StopSignal();
  if (unvisited < 0)
    DebugMsg(0, "interrupted by %s while waiting for the other run; nothing done\n",
             StopSignalName(sig));
  else
    DebugMsg(0, "interrupted by %s: %d supported device%s not visited, no list file written\n",
             StopSignalName(sig), unvisited, unvisited == 1 ? "" : "s");
  fflush(stdout);
  return 128 + sig;
}

bool RunTouchesControllers(int fullArgc, char **fullArgv) {
  std::vector<char *> storage;
  const CommandLine line = Decoded(fullArgc, fullArgv, storage);
  if (line.argc <= 1)
    return true;
  for (const char *word : {"--help", "-h", "--version", "--list", "--status", "--site-mode"})
    if (strcmp(line.argv[1], word) == 0)
      return false;
  return true;
}

bool RunTakesLock(int fullArgc, char **fullArgv) {
  std::vector<char *> storage;
  const CommandLine line = Decoded(fullArgc, fullArgv, storage);
  return RunTouchesControllers(fullArgc, fullArgv) || IsWord(line.argc, line.argv, 1, "--status");
}

int LockNotTaken(int fullArgc, char **fullArgv, RunLockResult why) {
  std::vector<char *> storage;
  const CommandLine line = Decoded(fullArgc, fullArgv, storage);
  const bool status = IsWord(line.argc, line.argv, 1, "--status");
  switch (why) {
  case RUNLOCK_HELD:
  case RUNLOCK_UNAVAILABLE:
    return 0;
  case RUNLOCK_TIMED_OUT:
    JsonError(line.argc, line.argv, "lock-timeout",
              "another panelcfg run held the run lock too long; nothing read");
    break;
  case RUNLOCK_REFUSED:
    JsonError(line.argc, line.argv, "lock-refused", "the run lock cannot be taken; nothing read");
    break;
  case RUNLOCK_INTERRUPTED:
    if (!status)
      return EndInterruptedRun(-1, -1);
    fprintf(stderr, "panelcfg: interrupted by %s while waiting for the other run; nothing read\n",
            StopSignalName(StopSignal()));
    JsonError(line.argc, line.argv, "interrupted",
              "interrupted while waiting for the other run; nothing read");
    fflush(stdout);
    return 128 + StopSignal();
  }
  fflush(stdout);
  return status ? kStatusUnread : 0;
}

void PrintJsonError(const char *command, const char *code, const char *text) {
  nlohmann::ordered_json doc;
  doc["schema"] = 1;
  doc["command"] = command;
  doc["error"] = {{"code", code}, {"text", text}};
  const std::string out = doc.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  printf("%s\n", out.c_str());
}

namespace {
int RunCommandLine(int fullArgc, char **fullArgv, const char *dir, const char *lockPath,
                   bool rootNotice, const char *hotplugDir) {
  std::vector<char *> storage;
  const CommandLine line = Decoded(fullArgc, fullArgv, storage);
  const int argc = line.argc;
  char **argv = line.argv;
  // Nothing is touched on a command line that is not what it seems.
  if (line.missing)
    return BadUsage(argc, argv, "bad-usage",
                    "--device needs a device: BUS:DEV, the kernel's name of a USB device or a "
                    "hidraw node");
  if (line.twice)
    return BadUsage(argc, argv, "bad-usage", "--device is given more than once");
  if (argc > 1 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    PrintUsage();
    return 0;
  }
  if (argc > 1 && strcmp(argv[1], "--version") == 0) {
    printf("panelcfg %s\n", PANELCFG_VERSION);
    return 0;
  }
  const bool list = IsWord(argc, argv, 1, "--list");
  const bool status = IsWord(argc, argv, 1, "--status");
  if ((list || status) && !ReportArgsKnown(argc, argv)) {
    char message[400];
    for (int i = 2; i < argc; i++)
      if (strcmp(argv[i], "--json") != 0) {
        snprintf(message, sizeof message, "%s takes no argument but --json, not \"%s\"", argv[1],
                 Shown(argv[i]).text);
        break;
      }
    return BadUsage(argc, argv, "bad-usage", message);
  }
  SetLogMode(LOG_STDOUT);
  // A run is mostly the protocol's pauses: wake from each as soon as it is over, not up to the
  // default timer slack of 50 us later.
  prctl(PR_SET_TIMERSLACK, 1UL);
  if (status)
    return StatusMain(argc, argv, dir, lockPath, line.spec);
  if (IsWord(argc, argv, 1, "--site-mode")) {
    if (line.spec != nullptr)
      return BadUsage(argc, argv, "bad-usage",
                      "--site-mode is the site's, not a device's: it takes no --device");
    signal(SIGPIPE, SIG_IGN);
    return SiteModeMain(argc, argv, dir);
  }
  if (IsWord(argc, argv, 1, "--hotplug")) {
    if (line.spec != nullptr || argc != 3)
      return BadUsage(argc, argv, "bad-usage",
                      "--hotplug takes one device and nothing else: panelcfg --hotplug SPEC");
    return HotplugMain(argv[2], dir, lockPath, hotplugDir);
  }
  if (list) {
    // Read-only: the devices as a run would classify them, no file written. Standard output
    // carries the listing alone; the traces go to standard error. A closed pipe is a failed
    // write, said as one, not a silent death.
    signal(SIGPIPE, SIG_IGN);
    SetLogMode(LOG_STDERR);
    LoadRunSetup(argc, dir);
    if (line.spec != nullptr && !ChooseDevice(argc, argv, line.spec)) {
      SetLogMode(LOG_STDOUT);
      return kStatusBadUsage;
    }
    BeginCheckedOutput(false);
    ListDevices(WantsJson(argc, argv));
    SetLogMode(LOG_STDOUT);
    return EndCheckedOutput() ? 0 : kStatusUnread;
  }

  // Lines reach a log file as they are printed, in order with standard error, and a signal
  // lets the controller in hand finish; a closed output pipe stops nothing.
  fflush(stdout);
  setvbuf(stdout, nullptr, _IOLBF, 0);
  InstallStopSignals();
  if (rootNotice && geteuid() != 0)
    fputs("panelcfg: not running as root: panelcfg must run as root to take USB interfaces "
          "from their kernel driver and to write " DEFAULT_PANEL_DIR "\n",
          stderr);
  LoadRunSetup(argc, dir);

  int lock = -1;
  const int ended = LockFor(argc, argv, lockPath, line.spec, &lock);
  if (ended >= 0)
    return ended;
  return RunWithLock(argc, argv, lock);
}
} // namespace

int RunWithLock(int argc, char **argv, int lock) {
  if (strcmp(argc > 1 ? argv[1] : "", "--recover") == 0) {
    int reset = RecoverControllers();
    if (StopSignal() != 0)
      return EndInterruptedRun(UnvisitedCnt, lock);
    ReleaseRunLock(lock);
    DebugMsg(1, "Controllers reset:%d\n", reset);
    fflush(stdout);
    return reset;
  }

  if (argc > 1) {
    for (const OperationWord &w : kWords) {
      if (strstr(argv[1], w.word) == nullptr)
        continue;
      if (w.functionMode >= 0)
        FunctionMode = w.functionMode;
      if (w.posMode == -2) {
        // Only the four position modes can be stored; anything else never reaches a controller.
        const char *digit = argc > 2 ? argv[2] : "";
        if (digit[0] < '1' || digit[0] > '4') {
          DebugMsg(0, "setpos needs a position mode: 1 digitizer, 2 mouse, 3 hybrid-d, "
                      "4 hybrid-m\n");
          ReleaseRunLock(lock);
          fflush(stdout);
          return 0;
        }
        POSMode = static_cast<signed char>(digit[0]) - '0';
      } else if (w.posMode >= 0) {
        POSMode = w.posMode;
      }
      // The site's mode is the whole machine's: a run on one device leaves it to --site-mode.
      if (w.writesUtilConf && !OneDevice.active)
        CreateUtilityConfig(POSMode);
      break;
    }
  }
  if (argc > 3 && strstr(argv[3], "not") != nullptr)
    NotResetDevice = 1;

  int count = FindMatchProduct();
  // An interrupted scan has not seen every panel: the lists stay as they were.
  if (StopSignal() != 0)
    return EndInterruptedRun(UnvisitedCnt, lock);

  // A run on one device merges its rows into what the files list: runs on other devices may be
  // merging theirs at the same time.
  const int lists = OneDevice.active ? TakeListLock() : -1;
  if (rManufCnt != 0) {
    set_Res_Manufacturer_list(rManufCnt);
    set_Res_Product_list(rManufCnt);
  }
  if (rDevIDCnt != 0)
    set_res_devid_list(rDevIDCnt);
  if (ManufCnt != 0) {
    set_Manufacturer_list(ManufCnt);
    set_Product_list(ManufCnt);
  }
  if (DevIDCnt != 0)
    set_pct_devid_list(DevIDCnt);
  ReleaseListLock(lists);
  ReleaseRunLock(lock);

  DebugMsg(1, "PCT Devices:%d\n", count);
  fflush(stdout);
  return count;
}

// --record FILE: the run as without it, every call at its boundary kept in FILE. --help,
// --version and a command line that is not what it seems record nothing.
int PanelcfgMain(int fullArgc, char **fullArgv, const char *dir, const char *lockPath,
                 bool rootNotice, const char *hotplugDir) {
  KeepStandardStreamsOpen();
  std::vector<char *> storage;
  const CommandLine line = Decoded(fullArgc, fullArgv, storage);
  if (line.recordMissing)
    return BadUsage(line.argc, line.argv, "bad-usage", "--record needs a file name");
  if (line.recordTwice)
    return BadUsage(line.argc, line.argv, "bad-usage", "--record is given more than once");
  if (line.recordSerials && line.record == nullptr)
    return BadUsage(line.argc, line.argv, "bad-usage", "--record-serials needs --record FILE");
  const char *first = line.argc > 1 ? line.argv[1] : "";
  if (line.record == nullptr || line.missing || line.twice || strcmp(first, "--help") == 0 ||
      strcmp(first, "-h") == 0 || strcmp(first, "--version") == 0)
    return RunCommandLine(fullArgc, fullArgv, dir, lockPath, rootNotice, hotplugDir);
  // The command line as recorded: what a replay runs, without the recording's own options.
  std::vector<const char *> recorded;
  recorded.reserve(static_cast<size_t>(line.argc) + 2);
  recorded.push_back(line.argv[0]);
  if (line.spec != nullptr) {
    recorded.push_back("--device");
    recorded.push_back(line.spec);
  }
  for (int i = 1; i < line.argc; i++)
    recorded.push_back(line.argv[i]);
  const int err = StartRecording(line.record, static_cast<int>(recorded.size()), recorded.data(),
                                 line.recordSerials ? nullptr : ReplaceSerials);
  if (err != 0) {
    char message[400];
    snprintf(message, sizeof message, "--record %s: the recording cannot be created: %s",
             Shown(line.record).text, SafeFileError(err));
    return BadUsage(line.argc, line.argv, "bad-usage", message);
  }
  return FinishRecording(RunCommandLine(fullArgc, fullArgv, dir, lockPath, rootNotice, hotplugDir));
}
