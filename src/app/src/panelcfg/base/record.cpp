#include "record.h"

#include <sys/utsname.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "../support/safefile.h"
#include "state.h"
#include "stop.h"

namespace {

using Json = nlohmann::ordered_json;

constexpr mode_t kRecordingMode = 0600;

// One value being built: its key in the parent (empty in a list) and the value.
struct Open {
  std::string key;
  Json value;
};

bool active = false;
std::string recordPath;
SerialFilter serialFilter = nullptr;
Json doc;
std::vector<Open> building; // the entry being built, outermost first
bool busKept = false;

void Put(const char *key, Json value) {
  if (building.empty())
    return;
  Json &top = building.back().value;
  if (top.is_array())
    top.push_back(std::move(value));
  else
    top[key != nullptr ? key : ""] = std::move(value);
}

void Push(const char *key, Json value) {
  if (!active || building.empty())
    return;
  building.push_back(Open{key != nullptr ? key : "", std::move(value)});
}

std::string Hex(const unsigned char *data, size_t len) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * len);
  for (size_t i = 0; i < len; i++) {
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 0xF];
  }
  return out;
}

std::string Now() {
  const time_t now = time(nullptr);
  struct tm utc {};
  char text[32] = {};
  if (gmtime_r(&now, &utc) != nullptr)
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

std::string KernelRelease() {
  struct utsname names {};
  if (uname(&names) != 0)
    return "";
  return names.release;
}

// The options the run read: they decide which devices it handles.
Json OptionsJson() {
  return Json{{"res", MyConfig.res},
              {"new_fw", MyConfig.new_fw},
              {"alt_pct_vendors", MyConfig.alt_pct_vendors},
              {"disable_8752", MyConfig.disable_8752}};
}

std::string DocumentText() {
  return doc.dump(1, ' ', false, Json::error_handler_t::replace) + "\n";
}

} // namespace

int StartRecording(const char *path, int argc, const char *const *argv, SerialFilter filter) {
  doc = Json::object();
  doc["recording"] = kRecordingSchema;
  doc["complete"] = false;
  doc["program"] = "panelcfg";
  doc["version"] = PANELCFG_VERSION;
  doc["kernel"] = KernelRelease();
  Json args = Json::array();
  for (int i = 1; i < argc; i++)
    args.push_back(argv[i]);
  doc["arguments"] = args;
  doc["time"] = Now();
  doc["serials"] = filter != nullptr ? "replaced" : "kept";
  const std::string text = DocumentText();
  if (SafeCreateFile(path, text.data(), text.size(), kRecordingMode) != 0)
    return errno;
  recordPath = path;
  serialFilter = filter;
  building.clear();
  busKept = false;
  doc["options"] = nullptr;
  doc["debug"] = false;
  doc["bus"] = Json::array();
  doc["calls"] = Json::array();
  active = true;
  return 0;
}

bool Recording() { return active; }

bool RecordKeepsSerials() { return serialFilter == nullptr; }

void RecordBegin(const char *call) {
  building.clear();
  if (!active)
    return;
  building.push_back(Open{"", Json{{"call", call}}});
}

void RecordField(const char *key, long value) { Put(key, value); }
void RecordFlag(const char *key, bool value) { Put(key, value); }
void RecordText(const char *key, const char *text) { Put(key, text); }
void RecordNull(const char *key) { Put(key, nullptr); }

void RecordBytes(const char *key, const unsigned char *data, size_t len) {
  if (!building.empty())
    Put(key, Hex(data, len));
}

void RecordFiltered(const char *key, RecordedBytes kind, const unsigned char *data, size_t len) {
  if (building.empty())
    return;
  if (serialFilter == nullptr) {
    RecordBytes(key, data, len);
    return;
  }
  std::vector<unsigned char> copy(data, data + len);
  serialFilter(kind, copy.data(), copy.size());
  RecordBytes(key, copy.data(), copy.size());
}

void RecordObject(const char *key) { Push(key, Json::object()); }
void RecordList(const char *key) { Push(key, Json::array()); }

void RecordClose() {
  if (building.size() < 2)
    return;
  Open done = std::move(building.back());
  building.pop_back();
  Put(done.key.empty() ? nullptr : done.key.c_str(), std::move(done.value));
}

void RecordAnswer() { RecordObject("answer"); }

void RecordEnd() {
  if (building.empty())
    return;
  while (building.size() > 1)
    RecordClose();
  Json entry = std::move(building.back().value);
  building.clear();
  if (!busKept && entry["call"] == "usb_get_busses" && entry.contains("answer")) {
    doc["bus"] = entry["answer"]["devices"];
    busKept = true;
  }
  doc["calls"].push_back(std::move(entry));
}

void RecordPause(unsigned int ms) {
  if (!active)
    return;
  doc["calls"].push_back(Json{{"call", "pause"}, {"ms", ms}});
}

int FinishRecording(int status) {
  if (!active)
    return status;
  active = false;
  building.clear();
  const int sig = StopSignal();
  doc["complete"] = sig == 0;
  doc["options"] = OptionsJson();
  doc["debug"] = DbgFlag != 0;
  doc["status"] = status;
  doc["interrupted"] = sig != 0 ? Json(StopSignalName(sig)) : Json(nullptr);
  const std::string text = DocumentText();
  if (SafeReplaceFile(recordPath.c_str(), text.data(), text.size(), kRecordingMode, true) !=
      SAFE_REPLACED)
    fprintf(stderr, "panelcfg: cannot write the recording %s: %s\n", recordPath.c_str(),
            SafeFileError(errno));
  doc = Json();
  return status;
}
