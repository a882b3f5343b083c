#include "udevrule.h"

#include <cstdio>
#include <vector>

#include "base/state.h"
#include "scan/devtable.h"

namespace {

constexpr int kIds = 0x10000;

// Whether any of the options gives vid:pid a family.
bool SupportedUnderAnyOptions(int vid, int pid) {
  const ConfigMem saved = MyConfig;
  bool supported = false;
  for (int set = 0; set < 8 && !supported; set++) {
    MyConfig.res = set & 1;
    MyConfig.new_fw = (set >> 1) & 1;
    MyConfig.alt_pct_vendors = (set >> 2) & 1;
    supported = ClassifyUSBID(vid, pid) != 0;
  }
  MyConfig = saved;
  return supported;
}

std::string Hex(int id) {
  char text[8];
  snprintf(text, sizeof text, "%04x", id & 0xFFFF);
  return text;
}

} // namespace

std::string UdevRuleText() {
  LoadVidPid();
  std::vector<int> tablePids;
  for (int i = 0; i < cMyHidInfo.PidCnt; i++)
    tablePids.push_back(cMyHidInfo.Pids[i]);
  int outside = 0; // a product ID in no set of the table
  while (ChkAllPid(outside))
    outside++;
  std::string text =
      "# panelcfg: the hidraw node of every controller panelcfg supports asks systemd for the\n"
      "# hotplug unit, which runs panelcfg --hotplug. Made from panelcfg's supported-device\n"
      "# table when panelcfg is built; switched off by: systemctl mask panelcfg-hotplug@.service\n"
      "ACTION!=\"add\", GOTO=\"panelcfg_end\"\n"
      "SUBSYSTEM!=\"hidraw\", GOTO=\"panelcfg_end\"\n";
  const std::string action =
      ", TAG+=\"systemd\", ENV{SYSTEMD_WANTS}+=\"panelcfg-hotplug@%k.service\"\n";
  for (int vid = 0; vid < kIds; vid++) {
    const bool others = SupportedUnderAnyOptions(vid, outside);
    std::string in;
    std::string out;
    for (int pid : tablePids) {
      std::string &list = SupportedUnderAnyOptions(vid, pid) ? in : out;
      if (!list.empty())
        list += '|';
      list += Hex(pid);
    }
    if (!others && in.empty())
      continue;
    text += "ATTRS{idVendor}==\"" + Hex(vid) + "\"";
    if (others && !out.empty())
      text += ", ATTRS{idProduct}!=\"" + out + "\"";
    else if (!others)
      text += ", ATTRS{idProduct}==\"" + in + "\"";
    text += action;
  }
  text += "LABEL=\"panelcfg_end\"\n";
  return text;
}
