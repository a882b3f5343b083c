// Scenarios (a bus described in JSON) and the controller state kept between runs.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "internal.h"

namespace vusb {
namespace {

using nlohmann::json;

constexpr int64_t kMaxU32 = 0xFFFFFFFF;

[[noreturn]] void Fail(const std::string &where, const std::string &what) {
  throw std::runtime_error(where + ": " + what);
}

// A number given as a JSON number or as text ("0x2575", "12"). Parsed as 64 bits on every
// target, so the whole unsigned 32-bit range fits also where long has 32 bits.
int64_t Number(const json &v, const std::string &where, int64_t lo, int64_t hi) {
  int64_t n = 0;
  if (v.is_number_unsigned()) {
    const uint64_t u = v.get<uint64_t>();
    if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
      Fail(where, std::to_string(u) + " is out of range");
    n = static_cast<int64_t>(u);
  } else if (v.is_number_integer()) {
    n = v.get<int64_t>();
  } else if (v.is_string()) {
    const std::string s = v.get<std::string>();
    char *end = nullptr;
    errno = 0;
    const long long parsed = strtoll(s.c_str(), &end, 0);
    if (s.empty() || *end != '\0' || errno != 0)
      Fail(where, "\"" + s + "\" is not a number");
    n = parsed;
  } else {
    Fail(where, "expected a number");
  }
  if (n < lo || n > hi)
    Fail(where, std::to_string(n) + " is out of range");
  return n;
}

// An errno given as a number or by name ("EBUSY").
int Errno(const json &v, const std::string &where) {
  static const struct {
    const char *name;
    int value;
  } kNames[] = {{"EPERM", EPERM},        {"ENOENT", ENOENT},       {"EIO", EIO},
                {"EBADF", EBADF},        {"EACCES", EACCES},       {"EBUSY", EBUSY},
                {"ENODEV", ENODEV},      {"EINVAL", EINVAL},       {"EPIPE", EPIPE},
                {"ENODATA", ENODATA},    {"ETIMEDOUT", ETIMEDOUT}, {"EPROTO", EPROTO},
                {"EOVERFLOW", EOVERFLOW}};
  if (v.is_string()) {
    for (const auto &k : kNames)
      if (v.get<std::string>() == k.name)
        return k.value;
  }
  return static_cast<int>(Number(v, where, 0, 4095));
}

bool Flag(const json &v, const std::string &where) {
  if (!v.is_boolean())
    Fail(where, "expected true or false");
  return v.get<bool>();
}

std::string Text(const json &v, const std::string &where) {
  if (v.is_null())
    return "";
  if (!v.is_string())
    Fail(where, "expected a text");
  return v.get<std::string>();
}

Bytes HexBytes(const json &v, const std::string &where) {
  std::string s = Text(v, where);
  std::string digits;
  for (char c : s)
    if (c != ' ' && c != ':')
      digits += c;
  if (digits.size() % 2 != 0)
    Fail(where, "odd number of hexadecimal digits");
  Bytes out;
  for (size_t i = 0; i < digits.size(); i += 2) {
    char pair[3] = {digits[i], digits[i + 1], '\0'};
    char *end = nullptr;
    long b = strtol(pair, &end, 16);
    if (*end != '\0')
      Fail(where, "\"" + std::string(pair) + "\" is not a hexadecimal byte");
    out.push_back(static_cast<uint8_t>(b));
  }
  return out;
}

std::string HexText(const Bytes &data) {
  std::string out;
  char b[3];
  for (uint8_t byte : data) {
    snprintf(b, sizeof b, "%02x", byte);
    out += b;
  }
  return out;
}

std::string Hex16(unsigned v) {
  char b[8];
  snprintf(b, sizeof b, "0x%04X", v & 0xFFFF);
  return b;
}

std::string Hex32(uint32_t v) {
  char b[12];
  snprintf(b, sizeof b, "0x%08X", v);
  return b;
}

Model ModelNamed(const std::string &name, const std::string &where) {
  if (name == "pct-current")
    return Model::PctCurrent;
  if (name == "pct-legacy")
    return Model::PctLegacy;
  if (name == "resistive")
    return Model::Resistive;
  if (name == "plain")
    return Model::Plain;
  Fail(where, "unknown model \"" + name + "\" (pct-current, pct-legacy, resistive, plain)");
}

TransferFault TransferFaultFrom(const json &j, const std::string &where) {
  if (!j.is_object())
    Fail(where, "expected an object");
  TransferFault f;
  for (const auto &[key, v] : j.items()) {
    std::string at = where + "." + key;
    if (key == "nth")
      f.nth = static_cast<int>(Number(v, at, 0, 1 << 30));
    else if (key == "request")
      f.request = static_cast<int>(Number(v, at, -1, 255));
    else if (key == "reportId")
      f.reportId = static_cast<int>(Number(v, at, -1, 255));
    else if (key == "command")
      f.command = static_cast<int>(Number(v, at, -1, 255));
    else if (key == "times")
      f.times = static_cast<int>(Number(v, at, -1, 1 << 30));
    else if (key == "result")
      f.result = v.is_string() && v.get<std::string>()[0] == 'E'
                     ? -Errno(v, at)
                     : static_cast<int>(Number(v, at, -4095, 0));
    else
      Fail(at, "unknown key");
  }
  return f;
}

void FaultsFrom(Faults &f, const json &j, const std::string &where) {
  if (!j.is_object())
    Fail(where, "expected an object");
  for (const auto &[key, v] : j.items()) {
    std::string at = where + "." + key;
    if (key == "transfers") {
      if (!v.is_array())
        Fail(at, "expected a list");
      for (size_t i = 0; i < v.size(); i++)
        f.transfers.push_back(TransferFaultFrom(v[i], at + "[" + std::to_string(i) + "]"));
    } else if (key == "unplugAtTransfer") {
      f.unplugAtTransfer = static_cast<int>(Number(v, at, 0, 1 << 30));
    } else if (key == "unplugOnReset") {
      f.unplugOnReset = Flag(v, at);
    } else if (key == "ignoredModeSets") {
      f.ignoredModeSets = static_cast<int>(Number(v, at, -1, 1 << 30));
    } else if (key == "resStatusOne") {
      f.resStatusOne = static_cast<int>(Number(v, at, -1, 1 << 30));
    } else if (key == "corruptChecksum") {
      f.corruptChecksum = Flag(v, at);
    } else if (key == "unreadableStrings") {
      if (!v.is_array())
        Fail(at, "expected a list");
      for (const auto &i : v)
        f.unreadableStrings.insert(static_cast<int>(Number(i, at, 0, 255)));
    } else if (key == "stringsUnreadable") {
      f.stringsUnreadable = Flag(v, at);
    } else if (key == "openErrno") {
      f.openErrno = Errno(v, at);
    } else if (key == "driverErrno") {
      f.driverErrno = Errno(v, at);
    } else if (key == "detachErrno") {
      f.detachErrno = Errno(v, at);
    } else if (key == "configErrno") {
      f.configErrno = Errno(v, at);
    } else if (key == "claimErrno") {
      f.claimErrno = Errno(v, at);
    } else if (key == "altErrno") {
      f.altErrno = Errno(v, at);
    } else if (key == "releaseErrno") {
      f.releaseErrno = Errno(v, at);
    } else if (key == "noConfig") {
      f.noConfig = Flag(v, at);
    } else if (key == "noHidraw") {
      f.noHidraw = Flag(v, at);
    } else if (key == "hidrawOpenErrno") {
      f.hidrawOpenErrno = Errno(v, at);
    } else {
      Fail(at, "unknown key");
    }
  }
}

DeviceSpec SpecFrom(const json &j, const std::string &where) {
  if (!j.is_object())
    Fail(where, "expected an object");
  if (!j.contains("model"))
    Fail(where, "\"model\" is missing");
  Model model = ModelNamed(Text(j["model"], where + ".model"), where + ".model");
  DeviceSpec s;
  switch (model) {
  case Model::PctCurrent:
    s = PctCurrentSpec();
    break;
  case Model::PctLegacy:
    s = PctLegacySpec();
    break;
  case Model::Resistive:
    s = ResistiveSpec();
    break;
  case Model::Plain:
    s = PlainSpec(0, 0);
    break;
  }
  for (const auto &[key, v] : j.items()) {
    std::string at = where + "." + key;
    auto byte = [&] { return static_cast<uint8_t>(Number(v, at, 0, 255)); };
    auto word = [&] { return static_cast<uint16_t>(Number(v, at, 0, 0xFFFF)); };
    if (key == "model") {
    } else if (key == "name") {
      s.name = Text(v, at);
    } else if (key == "bus") {
      s.bus = static_cast<int>(Number(v, at, 1, 999));
    } else if (key == "vid") {
      s.vid = word();
    } else if (key == "pid") {
      s.pid = word();
    } else if (key == "bcdDevice") {
      s.bcdDevice = word();
    } else if (key == "configurationValue") {
      s.configurationValue = byte();
    } else if (key == "interfaceNumber") {
      s.interfaceNumber = byte();
    } else if (key == "alternateSetting") {
      s.alternateSetting = byte();
    } else if (key == "interfaceClass") {
      s.interfaceClass = byte();
    } else if (key == "interfaceSubClass") {
      s.interfaceSubClass = byte();
    } else if (key == "interfaceProtocol") {
      s.interfaceProtocol = byte();
    } else if (key == "manufacturer") {
      s.strings[1] = Text(v, at);
    } else if (key == "product") {
      s.strings[2] = Text(v, at);
    } else if (key == "strings") {
      if (!v.is_object())
        Fail(at, "expected an object of index: text");
      for (const auto &[index, text] : v.items()) {
        int i = static_cast<int>(Number(json(index), at + "." + index, 1, 255));
        if (text.is_null())
          s.strings.erase(i);
        else
          s.strings[i] = Text(text, at + "." + index);
      }
    } else if (key == "driver") {
      s.driver = Text(v, at);
    } else if (key == "identity") {
      s.identity = static_cast<uint32_t>(Number(v, at, 0, kMaxU32));
    } else if (key == "posMode") {
      s.storedPosMode = static_cast<uint32_t>(Number(v, at, 1, 4) + 31);
    } else if (key == "storedPosMode") {
      s.storedPosMode = static_cast<uint32_t>(Number(v, at, 0, kMaxU32));
    } else if (key == "params") {
      s.params = HexBytes(v, at);
    } else if (key == "outsideCmdMode") {
      std::string m = Text(v, at);
      if (m == "ignore")
        s.outsideCmdMode = OutsideCmdMode::Ignore;
      else if (m == "stall")
        s.outsideCmdMode = OutsideCmdMode::Stall;
      else if (m == "accept")
        s.outsideCmdMode = OutsideCmdMode::Accept;
      else
        Fail(at, "expected ignore, stall or accept");
    } else if (key == "firmware") {
      s.firmware = Text(v, at);
    } else if (key == "rotation") {
      s.rotation = word();
    } else if (key == "faults") {
      FaultsFrom(s.faults, v, at);
    } else {
      Fail(at, "unknown key");
    }
  }
  return s;
}

json Parse(const std::string &text, const std::string &what) {
  try {
    return json::parse(text);
  } catch (const json::parse_error &e) {
    Fail(what, e.what());
  }
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path);
  if (!in)
    Fail(path, strerror(errno));
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// What the state file holds of one device: what its flash keeps and whether the kernel has its
// driver bound to it.
struct Kept {
  std::string name;
  Model model = Model::Plain;
  uint16_t vid = 0, pid = 0;
  uint32_t identity = 0, storedPosMode = 0;
  Bytes params;
  bool pendingIds = false, idsAfterReset = false;
  uint16_t pendingVid = 0, pendingPid = 0;
  std::string firmware;
  uint16_t rotation = 0;
  bool hasDriver = false, driverBound = false;

  bool operator==(const Kept &) const = default;
};

std::vector<Kept> Snapshot() {
  std::vector<Kept> out;
  out.reserve(static_cast<size_t>(DeviceCount()));
  for (int i = 0; i < DeviceCount(); i++) {
    const Device &d = Dev(i);
    Kept k;
    k.name = d.name;
    k.model = d.model;
    k.vid = d.vid;
    k.pid = d.pid;
    if (d.model == Model::PctCurrent || d.model == Model::PctLegacy) {
      k.identity = d.identity;
      k.storedPosMode = d.storedPosMode;
      k.params = d.params;
      k.pendingIds = d.pendingIds;
      k.idsAfterReset = d.idsAfterReset;
      k.pendingVid = d.pendingVid;
      k.pendingPid = d.pendingPid;
    }
    if (d.model == Model::Resistive) {
      k.firmware = d.firmware;
      k.rotation = d.rotation;
    }
    // A controller that was reset enumerates next with its driver bound, even when this process
    // ends before that enumeration.
    k.hasDriver = !d.driver.empty();
    k.driverBound = k.hasDriver && (!d.boundDriver.empty() || d.restarted || d.gone);
    out.push_back(std::move(k));
  }
  return out;
}

json JsonOf(const Kept &k) {
  json s = json::object();
  s["vid"] = Hex16(k.vid);
  s["pid"] = Hex16(k.pid);
  if (k.model == Model::PctCurrent || k.model == Model::PctLegacy) {
    s["identity"] = Hex32(k.identity);
    s["storedPosMode"] = k.storedPosMode;
    s["params"] = HexText(k.params);
    if (k.pendingIds) {
      s["pendingVid"] = Hex16(k.pendingVid);
      s["pendingPid"] = Hex16(k.pendingPid);
      s["idsAfterReset"] = k.idsAfterReset;
    }
  }
  if (k.model == Model::Resistive) {
    s["firmware"] = k.firmware;
    s["rotation"] = k.rotation;
  }
  if (k.hasDriver)
    s["driverBound"] = k.driverBound;
  return s;
}

std::string TextOf(const std::vector<Kept> &kept) {
  json devs = json::object();
  for (const Kept &k : kept)
    devs[k.name] = JsonOf(k);
  json j;
  j["devices"] = devs;
  return j.dump(2) + "\n";
}

// Autosave: the file, and the state last written to it (or found in it when autosave began).
// shared: other processes work on the same bus (see SetSharedState).
struct AutoSave {
  std::string path;
  std::vector<Kept> written;
  int writes = 0;
  bool warned = false;
  bool shared = false;
};
AutoSave autoSave;

constexpr int kMergeWaitMs = 30000;
constexpr int kMergePollMs = 5;

// An exclusive lock on the shared state's merge lock for the time of one read or write of the
// file, so that no process writes over what another wrote in between.
class MergeLock {
public:
  // Waits for the lock at most kMergeWaitMs: a process stopped while it held it (SIGSTOP) must
  // not hold every other one for ever.
  explicit MergeLock(const std::string &state)
      : fd_(open((state + ".merge").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644)) {
    if (fd_ < 0)
      Fail(state + ".merge", strerror(errno));
    for (int waited = 0; flock(fd_, LOCK_EX | LOCK_NB) != 0; waited += kMergePollMs) {
      if (waited >= kMergeWaitMs) {
        close(fd_);
        Fail(state + ".merge", "held by another process for too long");
      }
      const timespec poll = {0, kMergePollMs * 1000000L};
      nanosleep(&poll, nullptr);
    }
  }
  ~MergeLock() { close(fd_); }
  MergeLock(const MergeLock &) = delete;
  MergeLock &operator=(const MergeLock &) = delete;

private:
  int fd_;
};

const Kept *Named(const std::vector<Kept> &kept, const std::string &name) {
  for (const Kept &k : kept)
    if (k.name == name)
      return &k;
  return nullptr;
}

void WriteAll(int fd, const std::string &text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      throw std::runtime_error(strerror(n < 0 ? errno : EIO));
    done += static_cast<size_t>(n);
  }
}

// ---- A recording (panelcfg --record) as a scenario ------------------------------------------

// What a recording tells of one device, from the first answers it got.
struct Found {
  DeviceSpec spec;
  bool identity = false;
  bool posMode = false;
  bool params = false;
  bool firmware = false;
  bool rotation = false;
  bool resistive = false;
  std::map<int, std::string> strings;
  std::set<int> unreadable;
  Bytes lastRead; // the last read request (report 0x06) or resistive command sent
};

int Field(const json &o, const char *key, const std::string &where, int64_t hi) {
  if (!o.is_object() || !o.contains(key))
    Fail(where, std::string("\"") + key + "\" is missing");
  return static_cast<int>(Number(o[key], where + "." + key, 0, hi));
}

std::string Latin1ToUtf8(const Bytes &bytes) {
  std::string out;
  for (uint8_t b : bytes) {
    if (b < 0x80) {
      out += static_cast<char>(b);
    } else {
      out += static_cast<char>(0xC0 | (b >> 6));
      out += static_cast<char>(0x80 | (b & 0x3F));
    }
  }
  return out;
}

// A report the device answered: the state it shows, when none was taken yet.
void Learn(Found &f, const Bytes &r) {
  if (r.empty())
    return;
  const bool legacy = f.identity && (f.spec.identity >> 28) == 3;
  const size_t offset = legacy ? 4 : 8;
  if (r[0] == 0xF2 && r.size() >= 5 && !f.identity) {
    f.identity = true;
    f.spec.identity = static_cast<uint32_t>(r[1]) | static_cast<uint32_t>(r[2]) << 8 |
                      static_cast<uint32_t>(r[3]) << 16 | static_cast<uint32_t>(r[4]) << 24;
  } else if (r[0] == 0x07 && f.lastRead.size() >= 3 && f.lastRead[0] == 0x06) {
    if (f.lastRead[1] == 0xA2 && r.size() > offset + 1 && !f.posMode) {
      f.posMode = true;
      f.spec.storedPosMode = static_cast<uint32_t>(r[offset + 1]) + 32;
    } else if (f.lastRead[1] == 0xA1 && !f.params) {
      f.params = true;
      const size_t n = f.lastRead[2];
      f.spec.params.assign(r.begin() + static_cast<long>(std::min(offset, r.size())),
                           r.begin() + static_cast<long>(std::min(offset + n, r.size())));
    }
  } else if (r[0] == 0x01 && r.size() >= 4 && f.lastRead.size() >= 5 && f.lastRead[0] == 0x01) {
    // An answer frame: 01, length, 01, payload, 0D.
    const size_t end = std::min(static_cast<size_t>(r[1]) + 1, r.size());
    const std::string payload(r.begin() + 3,
                              r.begin() + static_cast<long>(std::max<size_t>(end, 3)));
    const std::string cmd{static_cast<char>(f.lastRead[3]), static_cast<char>(f.lastRead[4])};
    f.resistive = true;
    if (cmd == "OI" && !f.firmware) {
      f.firmware = true;
      f.spec.firmware = payload;
    } else if (cmd == "GP" && !f.rotation && !payload.empty()) {
      char *stop = nullptr;
      const long value = strtol(payload.c_str(), &stop, 16);
      if (*stop == '\0' && value >= 0 && value <= 0xFFFF) {
        f.rotation = true;
        f.spec.rotation = static_cast<uint16_t>(value);
      }
    }
  }
}

void Sent(Found &f, const Bytes &r) {
  if (!r.empty() && (r[0] == 0x06 || r[0] == 0x01))
    f.lastRead = r;
}

std::string ScenarioFromRecording(const json &doc) {
  if (!doc.contains("bus") || !doc["bus"].is_array())
    Fail("recording", "\"bus\" is not a list");
  if (!doc.contains("calls") || !doc["calls"].is_array())
    Fail("recording", "\"calls\" is not a list");
  std::vector<Found> found;
  std::map<std::string, size_t> byName; // "001/003"
  std::map<std::string, size_t> byPort; // "1-2"
  for (size_t i = 0; i < doc["bus"].size(); i++) {
    const json &d = doc["bus"][i];
    const std::string at = "bus[" + std::to_string(i) + "]";
    if (!d.is_object())
      Fail(at, "expected an object");
    Found f;
    f.spec = PlainSpec(0, 0);
    const json &desc = d.contains("descriptor") ? d["descriptor"] : json();
    f.spec.vid = static_cast<uint16_t>(Field(desc, "idVendor", at, 0xFFFF));
    f.spec.pid = static_cast<uint16_t>(Field(desc, "idProduct", at, 0xFFFF));
    f.spec.bcdDevice = static_cast<uint16_t>(Field(desc, "bcdDevice", at, 0xFFFF));
    f.spec.bus = static_cast<int>(Number(d.value("bus", json()), at + ".bus", 1, 999));
    if (d.contains("config") && d["config"].is_object()) {
      const json &c = d["config"];
      f.spec.configurationValue = static_cast<uint8_t>(Field(c, "bConfigurationValue", at, 255));
      if (c.contains("interface") && c["interface"].is_object()) {
        const json &alt = c["interface"];
        f.spec.interfaceNumber = static_cast<uint8_t>(Field(alt, "bInterfaceNumber", at, 255));
        f.spec.alternateSetting = static_cast<uint8_t>(Field(alt, "bAlternateSetting", at, 255));
        f.spec.interfaceClass = static_cast<uint8_t>(Field(alt, "bInterfaceClass", at, 255));
        f.spec.interfaceSubClass = static_cast<uint8_t>(Field(alt, "bInterfaceSubClass", at, 255));
        f.spec.interfaceProtocol = static_cast<uint8_t>(Field(alt, "bInterfaceProtocol", at, 255));
      }
    } else {
      f.spec.faults.noConfig = true;
    }
    f.spec.driver = d.contains("driver") ? Text(d["driver"], at + ".driver") : "";
    const std::string port = d.contains("port") ? Text(d["port"], at + ".port") : "";
    f.spec.name = !port.empty() ? port : "dev" + std::to_string(i);
    const std::string name = d.contains("name") ? Text(d["name"], at + ".name") : "";
    byName[name] = found.size();
    if (!port.empty())
      byPort[port] = found.size();
    found.push_back(f);
  }
  // The hidraw nodes' descriptors, back to their devices.
  std::map<std::string, size_t> byNode;
  std::map<long, size_t> byFd;
  for (size_t i = 0; i < doc["calls"].size(); i++) {
    const json &e = doc["calls"][i];
    const std::string at = "calls[" + std::to_string(i) + "]";
    if (!e.is_object() || !e.contains("call") || !e["call"].is_string())
      Fail(at, "expected an object with \"call\"");
    const std::string call = e["call"].get<std::string>();
    const json &a = e.contains("answer") && e["answer"].is_object() ? e["answer"] : json::object();
    Found *f = nullptr;
    if (e.contains("device") && e["device"].is_string()) {
      auto it = byName.find(e["device"].get<std::string>());
      if (it != byName.end())
        f = &found[it->second];
    } else if (e.contains("fd") && e["fd"].is_number_integer()) {
      auto it = byFd.find(e["fd"].get<long>());
      if (it != byFd.end())
        f = &found[it->second];
    }
    if (call == "hidraw_sys_node" && a.contains("node") && a["node"].is_string() &&
        e.contains("name") && e["name"].is_string()) {
      auto it = byPort.find(e["name"].get<std::string>());
      if (it != byPort.end())
        byNode[a["node"].get<std::string>()] = it->second;
    } else if (call == "hidraw_sys_open" && e.contains("node") && e["node"].is_string() &&
               a.contains("return") && a["return"].is_number_integer()) {
      auto it = byNode.find(e["node"].get<std::string>());
      if (it != byNode.end())
        byFd[a["return"].get<long>()] = it->second;
    }
    if (f == nullptr)
      continue;
    if (call == "usb_get_string_simple" && e.contains("index")) {
      const int index = static_cast<int>(Number(e["index"], at + ".index", 0, 255));
      const bool read =
          a.contains("return") && a["return"].is_number_integer() && a["return"].get<long>() >= 0;
      if (f->strings.count(index) != 0 || f->unreadable.count(index) != 0)
        continue;
      if (read)
        f->strings[index] =
            Latin1ToUtf8(a.contains("received") ? HexBytes(a["received"], at) : Bytes());
      else
        f->unreadable.insert(index);
    } else if (call == "usb_control_msg" || call == "hidraw_sys_feature") {
      if (e.contains("sent"))
        Sent(*f, HexBytes(e["sent"], at + ".sent"));
      if (a.contains("received"))
        Learn(*f, HexBytes(a["received"], at + ".answer.received"));
    }
  }
  Reset();
  for (Found &f : found) {
    DeviceSpec base = f.identity
                          ? ((f.spec.identity >> 28) == 3 ? PctLegacySpec() : PctCurrentSpec())
                      : f.resistive ? ResistiveSpec()
                                    : PlainSpec(0, 0);
    f.spec.model = base.model;
    if (!f.firmware && f.spec.model == Model::Resistive)
      f.spec.firmware = base.firmware;
    f.spec.strings = base.strings;
    for (const auto &[index, text] : f.strings)
      f.spec.strings[index] = text;
    f.spec.faults.unreadableStrings = f.unreadable;
    AddDevice(f.spec);
  }
  std::string ini;
  if (doc.contains("options") && doc["options"].is_object()) {
    ini = "[options]\n";
    for (const auto &[name, value] : doc["options"].items())
      ini += name + "=" + std::to_string(Number(value, "options." + name, 0, 255)) + "\n";
  }
  return ini;
}

} // namespace

void WriteFileAtomically(const std::string &path, const std::string &text) {
  std::string pattern = path + ".XXXXXX";
  std::vector<char> tmp(pattern.begin(), pattern.end());
  tmp.push_back('\0');
  int fd = mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0)
    Fail(path, strerror(errno));
  try {
    // mkstemp creates the file 0600; the state is no secret.
    if (fchmod(fd, 0644) != 0)
      throw std::runtime_error(strerror(errno));
    WriteAll(fd, text);
    const int closed = close(fd);
    fd = -1;
    if (closed != 0)
      throw std::runtime_error(strerror(errno));
    if (rename(tmp.data(), path.c_str()) != 0)
      throw std::runtime_error(strerror(errno));
  } catch (const std::runtime_error &e) {
    if (fd >= 0)
      close(fd);
    unlink(tmp.data());
    Fail(path, e.what());
  }
}

void SetAutoSave(const std::string &path) {
  autoSave.path = path;
  autoSave.written = path.empty() ? std::vector<Kept>{} : Snapshot();
  autoSave.writes = 0;
  autoSave.warned = false;
}

int AutoSaveWrites() { return autoSave.writes; }

namespace {

// The shared state file with the devices this process changed since it last read or wrote them
// in their state now; every other device as the file has it.
void WriteMerged(const std::vector<Kept> &now) {
  MergeLock lock(autoSave.path);
  json file = json::object();
  std::ifstream probe(autoSave.path);
  if (probe)
    file = Parse(ReadFile(autoSave.path), "state");
  if (!file.is_object() || !file.contains("devices") || !file["devices"].is_object())
    file = json{{"devices", json::object()}};
  for (const Kept &k : now) {
    const Kept *was = Named(autoSave.written, k.name);
    if (was == nullptr || !(*was == k))
      file["devices"][k.name] = JsonOf(k);
  }
  WriteFileAtomically(autoSave.path, file.dump(2) + "\n");
}

} // namespace

void SetSharedState(const std::string &path) {
  SetAutoSave(path);
  autoSave.shared = true;
  detail::BeforeEnumeration();
}

namespace detail {
void BeforeEnumeration() {
  if (!autoSave.shared)
    return;
  // No lock: the file is only ever replaced whole (a rename), so it reads old or new.
  std::ifstream probe(autoSave.path);
  if (!probe)
    return;
  const std::string text = ReadFile(autoSave.path);
  // The devices this process holds open are its own: what it does to them is their state.
  const json j = Parse(text, "state");
  json mine = json::object();
  for (int i = 0; i < DeviceCount(); i++)
    if (Dev(i).openHandles > 0)
      mine[Dev(i).name] = nullptr;
  json others = j;
  if (others.contains("devices") && others["devices"].is_object())
    for (const auto &[name, v] : mine.items())
      others["devices"].erase(name);
  try {
    ApplyStateText(others.dump());
  } catch (const std::runtime_error &e) {
    throw std::runtime_error(autoSave.path + ": " + e.what());
  }
  // What was read is no change of this process's.
  std::vector<Kept> now = Snapshot();
  for (Kept &k : autoSave.written)
    if (!mine.contains(k.name))
      if (const Kept *read = Named(now, k.name))
        k = *read;
}

void AfterCall() {
  if (autoSave.path.empty())
    return;
  std::vector<Kept> now = Snapshot();
  if (now == autoSave.written)
    return;
  try {
    if (autoSave.shared)
      WriteMerged(now);
    else
      WriteFileAtomically(autoSave.path, TextOf(now));
  } catch (const std::runtime_error &e) {
    if (!autoSave.warned)
      fprintf(stderr, "vusb: autosave: %s\n", e.what());
    autoSave.warned = true;
    return;
  }
  autoSave.written = std::move(now);
  autoSave.writes++;
}
} // namespace detail

std::string LoadScenarioText(const std::string &text) {
  json j = Parse(text, "scenario");
  if (j.is_object() && j.contains("recording"))
    return ScenarioFromRecording(j);
  if (!j.is_object())
    Fail("scenario", "expected an object with \"devices\"");
  std::vector<DeviceSpec> specs;
  std::string ini;
  for (const auto &[key, v] : j.items()) {
    if (key == "devices") {
      if (!v.is_array())
        Fail("devices", "expected a list");
      for (size_t i = 0; i < v.size(); i++)
        specs.push_back(SpecFrom(v[i], "devices[" + std::to_string(i) + "]"));
    } else if (key == "options") {
      if (!v.is_object())
        Fail("options", "expected an object of name: value");
      ini = "[options]\n";
      for (const auto &[name, value] : v.items())
        ini += name + "=" + std::to_string(Number(value, "options." + name, 0, 255)) + "\n";
    } else if (key == "description") {
    } else {
      Fail(key, "unknown key");
    }
  }
  Reset();
  for (const DeviceSpec &s : specs)
    AddDevice(s);
  return ini;
}

std::string LoadScenarioFile(const std::string &path) {
  std::string text = ReadFile(path);
  try {
    return LoadScenarioText(text);
  } catch (const std::runtime_error &e) {
    throw std::runtime_error(path + ": " + e.what());
  }
}

std::string SaveStateText() { return TextOf(Snapshot()); }

void ApplyStateText(const std::string &text) {
  json j = Parse(text, "state");
  if (!j.is_object() || !j.contains("devices") || !j["devices"].is_object())
    Fail("state", "expected an object with \"devices\"");
  const json &devs = j["devices"];
  for (int i = 0; i < DeviceCount(); i++) {
    Device &d = Dev(i);
    if (!devs.contains(d.name))
      continue;
    const json &s = devs[d.name];
    std::string at = "state." + d.name;
    bool bound = true; // state files from before the field: the driver was bound
    for (const auto &[key, v] : s.items()) {
      std::string w = at + "." + key;
      if (key == "vid")
        d.vid = static_cast<uint16_t>(Number(v, w, 0, 0xFFFF));
      else if (key == "pid")
        d.pid = static_cast<uint16_t>(Number(v, w, 0, 0xFFFF));
      else if (key == "identity")
        d.identity = static_cast<uint32_t>(Number(v, w, 0, kMaxU32));
      else if (key == "storedPosMode")
        d.storedPosMode = static_cast<uint32_t>(Number(v, w, 0, kMaxU32));
      else if (key == "params")
        d.params = HexBytes(v, w);
      else if (key == "pendingVid")
        d.pendingIds = true, d.pendingVid = static_cast<uint16_t>(Number(v, w, 0, 0xFFFF));
      else if (key == "pendingPid")
        d.pendingIds = true, d.pendingPid = static_cast<uint16_t>(Number(v, w, 0, 0xFFFF));
      else if (key == "idsAfterReset")
        d.idsAfterReset = Flag(v, w);
      else if (key == "firmware")
        d.firmware = Text(v, w);
      else if (key == "rotation")
        d.rotation = d.liveRotation = static_cast<uint16_t>(Number(v, w, 0, 0xFFFF));
      else if (key == "driverBound")
        bound = Flag(v, w);
      else
        Fail(w, "unknown key");
    }
    d.boundDriver = bound ? d.driver : "";
  }
  ReEnumerate();
}

void SaveStateFile(const std::string &path) {
  std::vector<Kept> now = Snapshot();
  // A process that changed no controller has nothing of its own to write to a shared state.
  if (autoSave.shared && path == autoSave.path && now == autoSave.written)
    return;
  if (autoSave.shared && path == autoSave.path)
    WriteMerged(now);
  else
    WriteFileAtomically(path, TextOf(now));
  if (path == autoSave.path)
    autoSave.written = std::move(now);
}

bool LoadStateFile(const std::string &path) {
  std::ifstream probe(path);
  if (!probe && errno == ENOENT)
    return false;
  std::string text = ReadFile(path);
  try {
    ApplyStateText(text);
  } catch (const std::runtime_error &e) {
    throw std::runtime_error(path + ": " + e.what());
  }
  return true;
}

} // namespace vusb
