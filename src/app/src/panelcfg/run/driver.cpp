#include "driver.h"

#include <sys/prctl.h>

#include <cstdio>
#include <cstring>

#include "../base/log.h"
#include "../base/state.h"
#include "../lists/registry.h"
#include "../scan/devtable.h"
#include "../scan/scan.h"
#include "../support/support.h"

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
        "  -h, --help    show this text and exit\n"
        "  --version     show the version and exit\n"
        "\n"
        "A third argument containing \"not\" keeps a controller from being reset after a mode\n"
        "change; a mode word then needs a placeholder second argument (panelcfg --mouse x not).\n"
        "\n"
        "The exit status is the number of PCT controllers configured. The mode words record\n"
        "the mode in " DEFAULT_PANEL_DIR "Util.conf; the panels handled are listed in\n"
        "the list files of that directory. Debug output is on while " DEFAULT_PANEL_DIR
        "enabledebug exists.\n",
        stdout);
}

} // namespace

int PanelcfgMain(int argc, char **argv, const char *dir) {
  if (argc > 1 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    PrintUsage();
    return 0;
  }
  if (argc > 1 && strcmp(argv[1], "--version") == 0) {
    printf("panelcfg %s\n", PANELCFG_VERSION);
    return 0;
  }

  // A run is mostly the protocol's pauses: wake from each as soon as it is over, not up to the
  // default timer slack of 50 us later.
  prctl(PR_SET_TIMERSLACK, 1UL);

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

  // Read-only: the devices as this run would classify them, no file written.
  if (argc > 1 && strcmp(argv[1], "--list") == 0) {
    ListDevices();
    fflush(stdout);
    return 0;
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

  DebugMsg(1, "PCT Devices:%d\n", count);
  fflush(stdout);
  return count;
}
