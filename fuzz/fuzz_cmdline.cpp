// The command line: a whole run with arguments from the input over a small fixed bus (a
// current-generation and a legacy PCT controller, a resistive controller, a device of no
// supported family), checked against the rules of the operation words: the run selection, the
// exit status, Util.conf, the list files, and that every device is released and closed.
// --device SPEC may stand anywhere: the words are read without it.
// An input that starts with '{' is a recording instead (panelcfg --record): its replay is a clean
// error or a run, never a crash, and a run that diverges ends with every later call failing.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/state.h"
#include "fuzz_common.h"
#include "lists/registry.h"
#include "run/driver.h"
#include "scan/devtable.h"
#include "vusb.h"

namespace {

fuzz::ScratchDir *dir = nullptr;
fuzz::ScratchDir *records = nullptr; // the hotplug handler's plug-in records

struct Word {
  const char *word;
  int functionMode; // -1: unchanged
  int posMode;      // -1: unchanged, -2: from the second argument
  bool writesUtilConf;
};

const Word kWords[] = {
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

// Pieces the arguments are made of, besides bytes from the input.
const char *const kPieces[] = {"--digitizer",
                               "--mouse-test",
                               "--mouse",
                               "--hybrid-d",
                               "--hybrid-m",
                               "--clean",
                               "--rotation",
                               "--digi-test",
                               "--sn",
                               "setpos",
                               "getpos",
                               "--list",
                               "--recover",
                               "--help",
                               "-h",
                               "--version",
                               "--status",
                               "--json",
                               "--device",
                               "--device=1-2",
                               "--hotplug",
                               "--site-mode",
                               "mouse",
                               "none",
                               "1:2",
                               "1-1",
                               "hidraw0",
                               "not",
                               "1",
                               "2",
                               "3",
                               "4",
                               "0",
                               "5",
                               "",
                               "x"};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  dir = new fuzz::ScratchDir();
  records = new fuzz::ScratchDir();
  return 0;
}

namespace {

// One whole run of the utility with args, from a fresh run state, in the scratch panel directory
// (its hotplug records in their own); its exit status.
int RunUtility(std::vector<std::string> &args) {
  records->Empty();
  InitRunState();
  ClearRegistries();
  cMyHidInfo = MYHIDINFO{};
  std::vector<char *> argv;
  for (std::string &a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  return PanelcfgMain(static_cast<int>(args.size()), argv.data(), dir->Path().c_str(), nullptr,
                      false, records->Path().c_str());
}

// The input as a recording: replayed with its own command line (less any --record, which would
// write where the input says) on the scratch directory.
void Replay(const uint8_t *data, size_t size) {
  vusb::Reset();
  try {
    vusb::LoadReplayText(std::string(reinterpret_cast<const char *>(data), size));
  } catch (const std::runtime_error &) {
    if (vusb::Replaying())
      fuzz::Die("a refused recording left a replay going");
    return;
  }
  vusb::SetReplayStopsAtDivergence(false);
  std::vector<std::string> args = {"panelcfg"};
  for (const std::string &a : vusb::ReplayArguments())
    if (a.rfind("--record", 0) != 0 && args.size() < 8)
      args.push_back(a.substr(0, strnlen(a.c_str(), a.size())));
  dir->Empty();
  if (!vusb::ReplayOptions().empty())
    fuzz::WriteFile(dir->File("options.ini"), vusb::ReplayOptions());
  RunUtility(args);
  const std::string end = vusb::ReplayEnd();
  if (!end.empty() && end.rfind("replay diverges at call ", 0) != 0)
    fuzz::Die("replay ended with \"%s\"", end.c_str());
  vusb::Reset();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 0 && data[0] == '{') {
    Replay(data, size);
    return 0;
  }
  FuzzedDataProvider input(data, size);
  std::vector<std::string> args = {"panelcfg"};
  const int extra = input.ConsumeIntegralInRange(0, 5);
  for (int i = 0; i < extra; i++) {
    std::string a;
    const int parts = input.ConsumeIntegralInRange(1, 3);
    for (int j = 0; j < parts; j++) {
      const uint8_t b = input.ConsumeIntegral<uint8_t>();
      if (b < 0x80)
        a += kPieces[b % std::size(kPieces)];
      else
        a += input.ConsumeRandomLengthString(24);
    }
    a = a.substr(0, strnlen(a.c_str(), a.size()));
    // Recording has targets of its own (the replays above); here it would write where the input
    // says.
    if (a.rfind("--record", 0) != 0)
      args.push_back(a);
  }

  dir->Empty();
  fuzz::WriteFile(dir->File("options.ini"), "[options]\nres=1\n");
  vusb::Reset();
  const int current = vusb::AddPctCurrent();
  const int legacy = vusb::AddPctLegacy();
  const int resistive = vusb::AddResistive();
  const int plain = vusb::AddPlain(0x0F0F, 0x0101);
  const int status = RunUtility(args);

  // --device SPEC (or --device=SPEC) counts wherever it stands and is taken off before the words
  // are read; given twice, or with no device after it, nothing is touched and the status is 2.
  std::vector<std::string> words = {"panelcfg"};
  int devices = 0;
  bool missing = false;
  for (size_t i = 1; i < args.size(); i++) {
    if (args[i] == "--device" && i + 1 >= args.size())
      missing = true;
    if (args[i] == "--device" || args[i].rfind("--device=", 0) == 0)
      devices++;
    else
      words.push_back(args[i]);
    if (args[i] == "--device")
      i++;
  }
  if (missing || devices > 1) {
    if (status != 2)
      fuzz::Die("exit status %d for --device given %d times", status, devices);
    if (!vusb::Log().empty())
      fuzz::Die("a bad --device touched the bus");
    fuzz::CheckPanelFiles(*dir, 0, {"options.ini"});
    return 0;
  }
  args = words;
  const int argc = static_cast<int>(args.size());

  // What the rules give for these arguments.
  const std::string first = argc > 1 ? args[1] : "";
  const bool informational =
      argc > 1 && (first == "--help" || first == "-h" || first == "--version" || first == "--list");
  int functionMode = FM_CONFIGURE;
  int posMode = 0;
  int utilMode = 0;
  bool stopped = informational;
  if (!informational && argc > 1) {
    for (const Word &w : kWords) {
      if (strstr(first.c_str(), w.word) == nullptr)
        continue;
      if (w.functionMode >= 0)
        functionMode = w.functionMode;
      if (w.posMode == -2) {
        const char d = argc > 2 ? args[2][0] : '\0';
        if (d < '1' || d > '4')
          stopped = true;
        posMode = d - '0';
      } else if (w.posMode >= 0) {
        posMode = w.posMode;
      }
      if (w.writesUtilConf)
        utilMode = posMode;
      break;
    }
  }
  const int notFlag = argc > 3 && strstr(args[3].c_str(), "not") != nullptr ? 1 : 0;

  if (vusb::OpenHandleCount() != 0)
    fuzz::Die("%d devices left open", vusb::OpenHandleCount());
  for (int id = 0; id < vusb::DeviceCount(); id++)
    if (vusb::Dev(id).claimedInterface != -1)
      fuzz::Die("%s left claimed", vusb::Dev(id).name.c_str());
  if (vusb::Dev(plain).opens != 0)
    fuzz::Die("a device of no supported family was opened");

  // A run that sends nothing: status 0, no transfer, no device taken over.
  auto touchedNothing = [&](const char *what) {
    if (status != 0)
      fuzz::Die("exit status %d for %s", status, what);
    if (!vusb::Transfers().empty())
      fuzz::Die("%s sent %zu transfers", what, vusb::Transfers().size());
    for (const vusb::Entry &e : vusb::Log())
      if (e.call == "usb_claim_interface" || e.call == "usb_detach_kernel_driver_np")
        fuzz::Die("%s took a device over", what);
  };
  // The status reads through the drivers' hidraw nodes: nothing taken over, no usbfs transfer,
  // no file, and every controller here is readable (2: anything but --json after it).
  // A report takes --json and nothing else.
  bool usage = false;
  for (int i = 2; i < argc; i++)
    usage = usage || args[i] != "--json";
  if (first == "--list" && usage) {
    if (status != 2 || !vusb::Log().empty())
      fuzz::Die("--list with %s exited with %d", args[2].c_str(), status);
    fuzz::CheckPanelFiles(*dir, 0, {"options.ini"});
    return 0;
  }
  if (first == "--status") {
    if (status != (usage ? 2 : 0) && !(devices == 1 && status == 2))
      fuzz::Die("--status exited with %d", status);
    for (const vusb::Entry &e : vusb::Log())
      if (e.call == "usb_claim_interface" || e.call == "usb_detach_kernel_driver_np" ||
          e.call == "usb_control_msg")
        fuzz::Die("--status called %s", e.call.c_str());
    fuzz::CheckPanelFiles(*dir, 0, {"options.ini"});
    return 0;
  }
  // The one-device commands have their own tests; here they must only leave every device closed
  // and released and never open one of no supported family (checked above).
  if (devices == 1 || first == "--hotplug")
    return 0;
  // The site mode: recorded in Util.conf as a mode word writes it, or shown; no device touched.
  if (first == "--site-mode") {
    static const char *const kModes[] = {"none", "digitizer", "mouse", "hybrid-d", "hybrid-m"};
    int mode = -1;
    int given = 0;
    for (int i = 2; i < argc; i++) {
      if (args[i] == "--json")
        continue;
      given++;
      for (int m = 0; m <= 4; m++)
        mode = args[i] == kModes[m] ? m : mode;
    }
    const bool usage = given > 1 || (given == 1 && mode < 0);
    if (status != (usage ? 2 : 0))
      fuzz::Die("--site-mode exited with %d", status);
    if (!vusb::Log().empty())
      fuzz::Die("--site-mode touched the bus");
    fuzz::CheckPanelFiles(*dir, usage || mode < 0 ? 0 : mode, {"options.ini"});
    return 0;
  }
  // Recovery: every controller here has its driver bound, so none is claimed or reset.
  if (first == "--recover") {
    touchedNothing("--recover on controllers with their driver");
    fuzz::CheckPanelFiles(*dir, 0, {"options.ini"});
    return 0;
  }

  if (stopped) {
    touchedNothing("a run that stops before the scan");
    if (!informational && vusb::Dev(current).opens + vusb::Dev(legacy).opens != 0)
      fuzz::Die("setpos without a mode opened a device");
    fuzz::CheckPanelFiles(*dir, 0, {"options.ini"});
    return 0;
  }

  if (FunctionMode != functionMode || POSMode != posMode || NotResetDevice != notFlag)
    fuzz::Die("run selection %d/%d/%d, expected %d/%d/%d", FunctionMode, POSMode, NotResetDevice,
              functionMode, posMode, notFlag);
  if (status != 2)
    fuzz::Die("exit status %d with two PCT controllers on the bus", status);
  if (vusb::Dev(current).opens != 1 || vusb::Dev(legacy).opens != 1 ||
      vusb::Dev(resistive).opens != 1)
    fuzz::Die("a controller was not opened exactly once");
  const bool resRecorded = functionMode != FM_ROTATION;
  if (ManufCnt != 2 || DevIDCnt != 2 || rManufCnt != (resRecorded ? 1 : 0) ||
      rDevIDCnt != (resRecorded ? 1 : 0))
    fuzz::Die("registries hold %d/%d PCT and %d/%d resistive rows", ManufCnt, DevIDCnt, rManufCnt,
              rDevIDCnt);
  if (strcmp(DevID[0], "2575:8753") != 0 || strcmp(DevID[1], "22b9:0040") != 0)
    fuzz::Die("PCT IDs %s, %s", DevID[0], DevID[1]);
  fuzz::CheckPanelFiles(*dir, utilMode, {"options.ini"});
  return 0;
}
