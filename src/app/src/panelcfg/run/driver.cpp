#include "driver.h"

#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "../base/log.h"
#include "../base/runlock.h"
#include "../base/state.h"
#include "../base/stop.h"
#include "../lists/registry.h"
#include "../scan/devtable.h"
#include "../scan/scan.h"
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
        "  --hotplug SPEC  give a controller that has just appeared the mode of Util.conf\n"
        "                (and a valid identity block), with at most two runs per plug-in\n"
        "  --device SPEC (before the word) handle that one device only: BUS:DEV as\n"
        "                --list prints them, the kernel's name (1-1.4) or a hidraw node;\n"
        "                the list files keep every other panel\n"
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

// A leading "--device SPEC" is no part of the command line the words see.
int DeviceArgs(int argc, char **argv) { return IsWord(argc, argv, 1, "--device") ? 2 : 0; }

// The command line without a leading --device SPEC: argv[0] stays, the rest moves up.
struct CommandLine {
  int argc;
  char **argv;
  const char *spec; // null: every device
};

CommandLine WithoutDevice(int argc, char **argv, char **storage) {
  if (DeviceArgs(argc, argv) == 0 || argc < 3)
    return {argc, argv, nullptr};
  storage[0] = argv[0];
  for (int i = 3; i < argc; i++)
    storage[i - 2] = argv[i];
  storage[argc - 2] = nullptr;
  return {argc - 2, storage, argv[2]};
}

// Chooses the device of --device SPEC; false (after the message) when SPEC names none.
bool ChooseDevice(const char *spec) {
  switch (SelectDevice(spec)) {
  case SELECT_OK:
    return true;
  case SELECT_BAD_SPEC:
    fprintf(stderr,
            "panelcfg: --device takes BUS:DEV, the kernel's name of a USB device or a hidraw "
            "node, not \"%s\"\n",
            spec);
    break;
  case SELECT_NO_DEVICE:
    fprintf(stderr, "panelcfg: --device %s: no such USB device\n", spec);
    break;
  }
  return false;
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
  const bool json = IsWord(argc, argv, 2, "--json");
  if (argc > (json ? 3 : 2)) {
    fprintf(stderr, "panelcfg: --status takes no argument but --json, not \"%s\"\n",
            argv[json ? 3 : 2]);
    fputs("Try 'panelcfg --help'.\n", stderr);
    return kStatusBadUsage;
  }
  fflush(stdout);
  setvbuf(stdout, nullptr, _IOLBF, 0);
  InstallStopSignals();
  SetLogMode(LOG_STDERR);
  LoadRunSetup(argc, dir);
  int lock = -1;
  if (lockPath != nullptr) {
    switch (TakeRunLock(lockPath, kRunLockWaitMs, &lock)) {
    case RUNLOCK_HELD:
    case RUNLOCK_UNAVAILABLE:
      break;
    case RUNLOCK_TIMED_OUT:
      SetLogMode(LOG_STDOUT);
      return kStatusUnread;
    case RUNLOCK_INTERRUPTED:
      fprintf(stderr, "panelcfg: interrupted by %s while waiting for the other run; nothing read\n",
              StopSignalName(StopSignal()));
      SetLogMode(LOG_STDOUT);
      return 128 + StopSignal();
    }
  }
  if (spec != nullptr && !ChooseDevice(spec)) {
    ReleaseRunLock(lock);
    SetLogMode(LOG_STDOUT);
    return kStatusBadUsage;
  }
  const int status = ReportStatus(json);
  ReleaseRunLock(lock);
  SetLogMode(LOG_STDOUT);
  fflush(stdout);
  return status;
}

} // namespace

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

bool RunTouchesControllers(int argc, char **argv) {
  const int skip = DeviceArgs(argc, argv);
  argc -= skip;
  argv += skip;
  if (argc <= 1)
    return true;
  for (const char *word : {"--help", "-h", "--version", "--list", "--status"})
    if (strcmp(argv[1], word) == 0)
      return false;
  return true;
}

bool RunTakesLock(int argc, char **argv) {
  const int skip = DeviceArgs(argc, argv);
  return RunTouchesControllers(argc, argv) || IsWord(argc - skip, argv + skip, 1, "--status");
}

int LockTimedOutStatus(int argc, char **argv) {
  const int skip = DeviceArgs(argc, argv);
  return IsWord(argc - skip, argv + skip, 1, "--status") ? kStatusUnread : 0;
}

int PanelcfgMain(int fullArgc, char **fullArgv, const char *dir, const char *lockPath,
                 bool rootNotice, const char *hotplugDir) {
  if (IsWord(fullArgc, fullArgv, 1, "--device") && fullArgc < 3) {
    fputs("panelcfg: --device needs a device: BUS:DEV, the kernel's name of a USB device or a "
          "hidraw node\nTry 'panelcfg --help'.\n",
          stderr);
    return kStatusBadUsage;
  }
  std::vector<char *> storage(static_cast<size_t>(fullArgc) + 1);
  const CommandLine line = WithoutDevice(fullArgc, fullArgv, storage.data());
  const int argc = line.argc;
  char **argv = line.argv;
  if (argc > 1 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    PrintUsage();
    return 0;
  }
  if (argc > 1 && strcmp(argv[1], "--version") == 0) {
    printf("panelcfg %s\n", PANELCFG_VERSION);
    return 0;
  }
  SetLogMode(LOG_STDOUT);
  // A run is mostly the protocol's pauses: wake from each as soon as it is over, not up to the
  // default timer slack of 50 us later.
  prctl(PR_SET_TIMERSLACK, 1UL);
  if (IsWord(argc, argv, 1, "--status"))
    return StatusMain(argc, argv, dir, lockPath, line.spec);
  if (IsWord(argc, argv, 1, "--hotplug")) {
    if (line.spec != nullptr || argc != 3) {
      fputs("panelcfg: --hotplug takes one device and nothing else: panelcfg --hotplug SPEC\n"
            "Try 'panelcfg --help'.\n",
            stderr);
      return kStatusBadUsage;
    }
    return HotplugMain(argv[2], dir, lockPath, hotplugDir);
  }
  const bool touches = RunTouchesControllers(argc, argv);
  if (touches) {
    // Lines reach a log file as they are printed, in order with standard error, and a signal
    // lets the controller in hand finish; a closed output pipe stops nothing.
    fflush(stdout);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    InstallStopSignals();
    if (rootNotice && geteuid() != 0)
      fputs("panelcfg: not running as root: panelcfg must run as root to take USB interfaces "
            "from their kernel driver and to write " DEFAULT_PANEL_DIR "\n",
            stderr);
  }

  LoadRunSetup(argc, dir);

  // Read-only: the devices as this run would classify them, no file written.
  if (!touches) {
    if (line.spec != nullptr && !ChooseDevice(line.spec))
      return kStatusBadUsage;
    ListDevices(IsWord(argc, argv, 2, "--json"));
    fflush(stdout);
    return 0;
  }

  int lock = -1;
  if (lockPath != nullptr) {
    switch (TakeRunLock(lockPath, kRunLockWaitMs, &lock)) {
    case RUNLOCK_HELD:
    case RUNLOCK_UNAVAILABLE:
      break;
    case RUNLOCK_TIMED_OUT:
      return 0;
    case RUNLOCK_INTERRUPTED:
      return EndInterruptedRun(-1, lock);
    }
  }
  if (line.spec != nullptr && !ChooseDevice(line.spec)) {
    ReleaseRunLock(lock);
    return kStatusBadUsage;
  }

  return RunWithLock(argc, argv, lock);
}

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
      if (w.writesUtilConf)
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
  ReleaseRunLock(lock);

  DebugMsg(1, "PCT Devices:%d\n", count);
  fflush(stdout);
  return count;
}
