#include "../base/runlock.h"
#include "../base/state.h"
#include "driver.h"

int main(int argc, char **argv) {
  return PanelcfgMain(argc, argv, DEFAULT_PANEL_DIR, RUN_LOCK_FILE, true, HOTPLUG_RECORD_DIR);
}
