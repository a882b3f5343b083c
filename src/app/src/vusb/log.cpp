// The transaction log and its views.
#include <csignal>
#include <cstdio>

#include "internal.h"

namespace vusb {
namespace {
std::vector<Entry> entries;

std::string Hex(const Bytes &data) {
  size_t n = data.size();
  while (n > 0 && data[n - 1] == 0)
    n--;
  std::string out;
  char b[4];
  for (size_t i = 0; i < n; i++) {
    snprintf(b, sizeof b, "%02x ", data[i]);
    out += b;
  }
  return out;
}

bool Mine(const Entry &e, int device) { return device < 0 || e.device == device; }
} // namespace

namespace {
struct Raise {
  std::string prefix;
  int nth;
  int sig;
  int seen = 0;
};
std::vector<Raise> raises;
} // namespace

void RaiseAt(const std::string &prefix, int nth, int sig) { raises.push_back({prefix, nth, sig}); }
void ClearRaises() { raises.clear(); }

namespace detail {
void Record(Entry e) {
  entries.push_back(std::move(e));
  if (raises.empty())
    return;
  const std::string text = Describe(entries.back());
  for (Raise &r : raises)
    if (text.compare(0, r.prefix.size(), r.prefix) == 0 && ++r.seen == r.nth)
      raise(r.sig);
}
} // namespace detail

const std::vector<Entry> &Log() { return entries; }
void ClearLog() { entries.clear(); }

std::vector<Entry> Transfers(int device) {
  std::vector<Entry> out;
  for (const Entry &e : entries)
    if (e.kind == Kind::Transfer && Mine(e, device))
      out.push_back(e);
  return out;
}

std::vector<Bytes> SetReports(int device, int reportId) {
  std::vector<Bytes> out;
  for (const Entry &e : entries)
    if (e.IsSetReport() && Mine(e, device) && (reportId < 0 || e.ReportId() == reportId))
      out.push_back(e.data);
  return out;
}

std::vector<Entry> GetReports(int device, int reportId) {
  std::vector<Entry> out;
  for (const Entry &e : entries)
    if (e.IsGetReport() && Mine(e, device) && (reportId < 0 || e.ReportId() == reportId))
      out.push_back(e);
  return out;
}

std::vector<std::string> Calls(int device) {
  std::vector<std::string> out;
  for (const Entry &e : entries)
    if (e.kind != Kind::Wait && Mine(e, device))
      out.push_back(e.call);
  return out;
}

std::string Describe(const Entry &e) {
  char b[64];
  if (e.kind == Kind::Wait) {
    snprintf(b, sizeof b, "wait %d", e.arg);
    return b;
  }
  if (e.kind == Kind::Call) {
    std::string out = e.call;
    if (e.call == "usb_get_string_simple" || e.call == "usb_get_driver_np" ||
        e.call == "usb_detach_kernel_driver_np" || e.call == "usb_set_configuration" ||
        e.call == "usb_claim_interface" || e.call == "usb_set_altinterface" ||
        e.call == "usb_release_interface") {
      snprintf(b, sizeof b, " %d", e.arg);
      out += b;
    }
    if (e.call == "hidraw_open")
      out += " " + e.text;
    if (e.result < 0) {
      snprintf(b, sizeof b, " = %d", e.result);
      out += b;
    }
    return out;
  }
  std::string out;
  if (e.IsSetReport()) {
    out = "set " + Hex(e.data);
  } else if (e.IsGetReport()) {
    if (e.data.empty()) {
      snprintf(b, sizeof b, "get %02x ", e.ReportId());
      out = b;
    } else {
      out = "get " + Hex(e.data);
    }
  } else {
    snprintf(b, sizeof b, "ctrl %02x %02x %04x %04x ", e.requestType, e.request, e.value, e.index);
    out = b + Hex(e.data);
  }
  snprintf(b, sizeof b, "/%d", e.length);
  out += b;
  // Sent by the kernel driver for a feature-report ioctl on the hidraw node.
  if (e.call == "hidraw")
    out = "hidraw " + out;
  if (e.result != e.length) {
    snprintf(b, sizeof b, " = %d", e.result);
    out += b;
  }
  return out;
}

std::vector<std::string> Sequence(int device) {
  std::vector<std::string> out;
  for (const Entry &e : entries)
    if (e.kind == Kind::Wait || Mine(e, device))
      out.push_back(Describe(e));
  return out;
}

} // namespace vusb
