// Controller answers: a whole run of the utility (command line to list files) on a bus of one
// to four devices whose every answer comes from the input, under an operation word, options and
// flags that the input chooses too.
//
// Beyond the sanitizers and the checks of the bus itself (fuzz_usb.h), every run must end with
// the PCT count equal to the number of controllers whose firmware identity was read, the PCT
// ID list naming exactly those controllers, and every file complete. The reports (--list and
// --status, as text or JSON) must send no request that changes a controller, record nothing and
// write no file, and --status must exit with 0 or 1.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "base/state.h"
#include "fuzz_common.h"
#include "fuzz_usb.h"
#include "lists/registry.h"
#include "run/driver.h"
#include "scan/devtable.h"

namespace {

fuzz::ScratchDir *dir = nullptr;

struct Word {
  const char *text; // nullptr: no argument
  int utilMode;     // mode recorded in Util.conf, 0 none
};

const Word kWords[] = {
    {nullptr, 0},        {"--digitizer", 1}, {"--mouse", 2}, {"--hybrid-d", 3}, {"--hybrid-m", 4},
    {"--mouse-test", 0}, {"--digi-test", 0}, {"--clean", 0}, {"--sn", 0},       {"--rotation", 0},
    {"setpos", 0},       {"getpos", 0},      {"--list", 0},  {"--status", 0},
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  dir = new fuzz::ScratchDir();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider input(data, size);

  // The command line.
  const Word &word = kWords[input.ConsumeIntegralInRange<size_t>(0, std::size(kWords) - 1)];
  std::vector<std::string> args = {"panelcfg"};
  if (word.text != nullptr)
    args.push_back(word.text);
  const bool setpos = word.text != nullptr && strcmp(word.text, "setpos") == 0;
  const uint8_t digit = input.ConsumeIntegral<uint8_t>();
  if (setpos)
    args.push_back(std::string(1, static_cast<char>(digit < 0xC0 ? '1' + digit % 4 : digit)));
  const bool keep = input.ConsumeBool();
  // The reports take --json second: device texts then go through the JSON writer.
  const bool report = word.text != nullptr &&
                      (strcmp(word.text, "--list") == 0 || strcmp(word.text, "--status") == 0);
  const bool status = report && word.text[2] == 's';
  if (report) {
    if (keep)
      args.push_back("--json");
  } else if (keep && word.text != nullptr) {
    if (!setpos)
      args.push_back("x");
    args.push_back("not");
  }

  // The options.
  const uint8_t options = input.ConsumeIntegral<uint8_t>();
  dir->Empty();
  fuzz::WriteFile(dir->File("options.ini"),
                  "[options]\nres=" + std::to_string(options & 1) +
                      "\nnew_fw=" + std::to_string((options >> 1) & 1) +
                      "\nalt_pct_vendors=" + std::to_string((options >> 2) & 1) +
                      "\ndisable_8752=" + std::to_string((options >> 3) & 1) + "\n");

  InitRunState();
  ClearRegistries();
  cMyHidInfo = MYHIDINFO{};
  fuzzusb::Begin(input, input.ConsumeIntegralInRange(1, 4));
  fuzzusb::SetReadOnly(report);

  std::vector<char *> argv;
  for (std::string &a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  const int exitStatus =
      PanelcfgMain(static_cast<int>(args.size()), argv.data(), dir->Path().c_str());

  // A status report says whether it read every controller; it configures none.
  if (status && exitStatus != 0 && exitStatus != 1)
    fuzz::Die("--status exited with %d", exitStatus);
  // Every controller whose firmware identity was read is configured and counted, and no other.
  const std::vector<std::string> configured =
      status ? std::vector<std::string>{} : fuzzusb::FirmwareRead();
  if (!status && exitStatus != static_cast<int>(configured.size()))
    fuzz::Die("exit status %d with %zu controllers configured", exitStatus, configured.size());
  std::vector<std::string> ids;
  for (const std::string &id : configured) {
    bool seen = false;
    for (const std::string &s : ids)
      seen = seen || s == id;
    if (!seen)
      ids.push_back(id);
  }
  if (DevIDCnt != static_cast<int>(ids.size()))
    fuzz::Die("%d PCT IDs recorded for %zu distinct controllers", DevIDCnt, ids.size());
  for (size_t k = 0; k < ids.size(); k++)
    if (ids[k] != DevID[k])
      fuzz::Die("PCT ID row %zu is %s, expected %s", k, DevID[k], ids[k].c_str());
  if (!status && ManufCnt > exitStatus)
    fuzz::Die("%d PCT names recorded for %d controllers", ManufCnt, exitStatus);
  const bool stopped = (setpos && (digit >= 0xC0 && (digit < '1' || digit > '4'))) || report;
  if (stopped && ((!status && exitStatus != 0) || ManufCnt != 0 || DevIDCnt != 0 ||
                  rManufCnt != 0 || rDevIDCnt != 0))
    fuzz::Die("a run that stops before the scan configured or recorded a controller");

  fuzzusb::End();
  fuzz::CheckPanelFiles(*dir, word.utilMode, {"options.ini"});
  return 0;
}
