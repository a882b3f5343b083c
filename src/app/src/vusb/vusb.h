// The virtual USB bus: the libusb 0.1 calls of the utility answered by simulated controllers,
// a transaction log of every call, and the virtual clock behind ProtocolSleep.
//
// Typical test:
//   vusb::Reset();
//   int pct = vusb::AddPctCurrent();              // 0x2575:0x8753, identity 0x12048170
//   vusb::Dev(pct).faults.claimErrno = EBUSY;     // inject a fault
//   ... run the code under test ...
//   EXPECT_EQ(vusb::SetReports(pct, 0x08).size(), 3u);
//   EXPECT_EQ(vusb::Waits(), (std::vector<unsigned>{20, 200}));
//
// Enumeration order: usb_busses lists the busses by ascending bus number and, on each bus, the
// devices in the order they were added. Every usb_find_busses/usb_find_devices call is a fresh
// enumeration: it applies the USB IDs a controller was given before its last reset (see
// ReEnumerate) and rebuilds the lists, so usb_device pointers are valid until the next one.
#pragma once

#include <usb.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace vusb {

using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------------------------------------
// Device models

enum class Model {
  Plain,      // matches no table; stalls every class request
  PctCurrent, // current-generation PCT controller (commands at any time, USB-ID write 0xF3)
  PctLegacy,  // legacy-generation PCT controller (configuration commands in command mode 0x90)
  Resistive,  // ASCII commands in feature report 1
};

// What a legacy controller does with a configuration command (parameter read 0x06 0xA1,
// parameter write 0xA8, position-mode write 0x91 0xC9, reset 0x85) outside command mode.
enum class OutsideCmdMode {
  Ignore, // the transfer succeeds, the command has no effect (default)
  Stall,  // the transfer fails with EPIPE
  Accept, // the command is carried out anyway
};

// One rule for failing control transfers. A transfer fails when every set field matches; the
// rule's result is returned (errno set to -result when negative, untouched for 0).
struct TransferFault {
  int nth = 0;       // only the device's nth control transfer (1-based); 0: any
  int request = -1;  // bRequest: 0x09 Set_Report, 0x01 Get_Report; -1: any
  int reportId = -1; // low byte of wValue; -1: any
  int command = -1;  // byte 1 of the data sent (Set_Report only); -1: any
  int times = -1;    // how many matching transfers fail; -1: all of them
  int result = -32;  // returned value: -EPIPE by default; 0 means "nothing moved"
  Bytes data = {};   // Get_Report with a result above 0: the bytes delivered to the host (at
                     // most result and the size asked for); the rest stays as it was
};

// Faults of one device. Errno fields: 0 no fault, else the call fails with -value.
struct Faults {
  std::vector<TransferFault> transfers;
  int unplugAtTransfer = 0;        // from this control transfer (1-based) on, every call on the
                                   // device fails with ENODEV, as if unplugged; 0: never
  bool unplugOnReset = false;      // the controller leaves the bus after a reset request and
                                   // comes back at the next enumeration
  int ignoredModeSets = 0;         // device-mode writes ignored before one takes effect;
                                   // -1: command mode (or any device mode) never confirmed
  int resStatusOne = 0;            // resistive: this many answers are the status "1"; -1: all
  bool corruptChecksum = false;    // PCT: parameter-area replies carry a flipped last byte
  std::set<int> unreadableStrings; // string indexes whose read fails with EPIPE
  bool stringsUnreadable = false;  // every string read fails with EPIPE
  int openErrno = 0;               // usb_open returns null with this errno
  int driverErrno = 0;             // usb_get_driver_np
  int detachErrno = 0;             // usb_detach_kernel_driver_np
  int configErrno = 0;             // usb_set_configuration
  int claimErrno = 0;              // usb_claim_interface
  int altErrno = 0;                // usb_set_altinterface
  int releaseErrno = 0;            // usb_release_interface
  bool noConfig = false;           // the usb_device record carries config == nullptr
  bool noHidraw = false;           // the bound driver made no hidraw node
  int hidrawOpenErrno = 0;         // opening the hidraw node fails with this errno
};

// How a device looks on the bus and how it starts.
struct DeviceSpec {
  Model model = Model::Plain;
  std::string name; // key in the state file; "dev<id>" when empty
  int bus = 1;      // bus number, 1..999
  uint16_t vid = 0; // idVendor it enumerates with
  uint16_t pid = 0; // idProduct it enumerates with
  uint16_t bcdDevice = 0x0100;
  uint8_t configurationValue = 1;
  uint8_t interfaceNumber = 0;
  uint8_t alternateSetting = 0;
  uint8_t interfaceClass = 3; // HID
  uint8_t interfaceSubClass = 0;
  uint8_t interfaceProtocol = 0;      // 2 is the boot-mouse protocol
  std::map<int, std::string> strings; // string descriptors by index (1 manufacturer, 2 product)
  std::string driver = "usbhid";      // kernel driver of the interface; empty: none. It is
                                      // bound at the start, after a detach no longer, and again
                                      // at the first enumeration after the controller's reset
  // PCT
  uint32_t identity = 0;         // firmware identity, report 0xF2 bytes 1..4
  uint32_t storedPosMode = 0x20; // position mode as stored (mode + 31): digitizer
  Bytes params;                  // parameter area; missing bytes read as 0xFF (erased flash)
  OutsideCmdMode outsideCmdMode = OutsideCmdMode::Ignore;
  // Resistive
  std::string firmware;  // payload of the "OI" answer
  uint16_t rotation = 0; // value at address 0x43, as stored permanently
  Faults faults;
};

// A device on the bus: its spec (changeable at any time, faults included) and its state.
struct Device : DeviceSpec {
  int id = 0;
  // PCT
  uint8_t deviceMode = 0x01; // 0x90 command mode, 0x01 normal operation
  bool pendingIds = false;   // a USB-ID write (0xF3) is waiting for a reset
  uint16_t pendingVid = 0, pendingPid = 0;
  bool idsAfterReset = false; // reset seen after the write: next enumeration uses them
  int lastRequest = -1;       // byte 1 of the last accepted 0x06 read request, -1 none
  int lastRequestLen = 0;     // its byte 2
  // Resistive
  uint16_t liveRotation = 0; // working value (SP); rotation holds the permanent one (PL)
  Bytes lastAnswer;          // answer frame the next Get_Report of report 1 returns
  // Host side
  std::string boundDriver;   // driver bound now; empty after a detach or when none (kept in
                             // the state file, so a detach outlives the run until a reset)
  int configuration = 0;     // set configuration value, 0 none
  int claimedInterface = -1; // -1 none
  int openHandles = 0;       // handles open now
  int opens = 0;             // usb_open calls that succeeded
  int transfers = 0;         // control transfers seen (the counter of TransferFault::nth)
  int resets = 0;            // reset requests carried out
  bool restarted = false;    // reset since the last enumeration
  bool unplugged = false;    // gone for good (unplugAtTransfer); left out of enumerations
  bool gone = false;         // gone until the next enumeration (unplugOnReset)

  // Position mode 1..4 derived from storedPosMode (mode + 31); other values as they are - 31.
  int PosMode() const { return static_cast<int>(storedPosMode) - 31; }
  void SetPosMode(int mode) { storedPosMode = static_cast<uint32_t>(mode + 31); }
  // The first n bytes of the parameter area (0xFF where nothing was stored).
  Bytes Params(size_t n) const;
};

// Specs with the defaults of each model: strings 1 and 2, the signature strings (legacy PCT
// "Velmarine" at index 3, current PCT "zUZOVoDODeRIRArI" at index 0x3C), driver "usbhid".
DeviceSpec PctCurrentSpec(uint16_t vid = 0x2575, uint16_t pid = 0x8753,
                          uint32_t identity = 0x12048170);
DeviceSpec PctLegacySpec(uint16_t vid = 0x22B9, uint16_t pid = 0x0040,
                         uint32_t identity = 0x3012A145);
DeviceSpec ResistiveSpec(uint16_t vid = 0x1234, uint16_t pid = 0x8888,
                         const std::string &firmware = "V2.9");
DeviceSpec PlainSpec(uint16_t vid, uint16_t pid);

// Adds a device; returns its id (0, 1, 2, ... in order of adding since the last Reset).
int AddDevice(const DeviceSpec &spec);
int AddPctCurrent(uint16_t vid = 0x2575, uint16_t pid = 0x8753, uint32_t identity = 0x12048170);
int AddPctLegacy(uint16_t vid = 0x22B9, uint16_t pid = 0x0040, uint32_t identity = 0x3012A145);
int AddResistive(uint16_t vid = 0x1234, uint16_t pid = 0x8888,
                 const std::string &firmware = "V2.9");
int AddPlain(uint16_t vid, uint16_t pid);

// The device with this id (aborts on an unknown id). The reference stays valid until Reset.
Device &Dev(int id);
int DeviceCount();

// Removes every device, closes leftover handles, clears the log and the waits, switches real
// time off.
void Reset();

// A fresh enumeration now: devices reset after a USB-ID write take the new IDs, devices gone
// after a reset come back, devices reset come back with their kernel driver bound (once no
// handle of theirs is open any more), and usb_busses is rebuilt. usb_find_busses/usb_find_devices
// do the same, so a second run of the utility sees the controller under its new IDs.
void ReEnumerate();

// Handles opened with usb_open and not yet closed, over all devices.
int OpenHandleCount();

// The device's record in the current enumeration (what usb_get_busses lists), nullptr when it
// is not listed (unplugged).
struct usb_device *UsbDevice(int id);

// ---------------------------------------------------------------------------------------------
// Transaction log

enum class Kind { Call, Transfer, Wait };

struct Entry {
  Kind kind = Kind::Call;
  int device = -1;  // device id, -1 when none
  std::string call; // libusb function name; "usb_control_msg"; "wait"
  int arg = 0;      // interface, configuration, alternate setting, string index;
                    // the milliseconds of a wait
  std::string text; // string read, driver name
  int result = 0;   // the call's result (usb_open: 1, or -errno)
  int err = 0;      // errno the call set, 0 when it left errno alone
  // Control transfers
  uint8_t requestType = 0;
  uint8_t request = 0;
  uint16_t value = 0;
  uint16_t index = 0;
  uint16_t length = 0; // size passed
  int timeout = 0;     // time-out passed, in milliseconds
  Bytes data;          // sent (host to device) or delivered (device to host)

  bool IsSetReport() const {
    return kind == Kind::Transfer && requestType == 0x21 && request == 0x09;
  }
  bool IsGetReport() const {
    return kind == Kind::Transfer && requestType == 0xA1 && request == 0x01;
  }
  int ReportId() const { return value & 0xFF; }
  bool Failed() const { return result <= 0 && kind == Kind::Transfer; }
};

// Raises signal sig in the process right after the log records the nth entry (1-based) whose
// Sequence text starts with prefix: "wait", "usb_open", "set 08 a8", "usb_release_interface".
// Any number of them; Reset removes them all.
void RaiseAt(const std::string &prefix, int nth, int sig);
void ClearRaises();

// Every entry since the last Reset/ClearLog, in order: libusb calls, transfers and waits.
const std::vector<Entry> &Log();
void ClearLog();

// Control transfers (of one device, or of all with -1).
std::vector<Entry> Transfers(int device = -1);
// Data of the Set_Report transfers in order, failed ones included (report ID -1: any).
std::vector<Bytes> SetReports(int device = -1, int reportId = -1);
// The Get_Report transfers in order (report ID -1: any).
std::vector<Entry> GetReports(int device = -1, int reportId = -1);
// Names of the libusb calls in order, transfers as "usb_control_msg", waits left out.
std::vector<std::string> Calls(int device = -1);
// Compact text of each entry: "usb_open", "set 08 84 09 /64", "get f2 70 81 04 12 /32",
// "wait 20", "usb_claim_interface 0 = -16". Trailing zero bytes are left out before "/len";
// a failed transfer ends in " = result". Waits are device -1 and kept with device filters.
std::vector<std::string> Sequence(int device = -1);
std::string Describe(const Entry &e);

// ---------------------------------------------------------------------------------------------
// Virtual clock

// Every wait the utility's sleep helper was asked for, in milliseconds, in order.
const std::vector<unsigned> &Waits();
void ClearWaits();
unsigned TotalWaitMs();
// When on, ProtocolSleep also really sleeps (the simulator's default); off after Reset.
void SetRealTime(bool on);
bool RealTime();

// ---------------------------------------------------------------------------------------------
// Scenarios and controller state (JSON)

// Replaces the bus with the devices of a scenario (JSON text). Throws std::runtime_error with
// a readable message on a malformed scenario. Returns the scenario's "options" object as ini
// text ("[options]\nres=1\n") or "" when it has none.
std::string LoadScenarioText(const std::string &json);
std::string LoadScenarioFile(const std::string &path);

// Controller state of every device by name (parameter area, position mode, USB IDs, pending
// IDs, rotation, identity, whether its kernel driver is bound) as JSON text, and back. Applying
// ignores unknown names; a device without "driverBound" gets its driver bound.
std::string SaveStateText();
void ApplyStateText(const std::string &json);
// File forms; LoadStateFile returns false (and changes nothing) when the file does not exist.
// SaveStateFile writes through WriteFileAtomically.
void SaveStateFile(const std::string &path);
bool LoadStateFile(const std::string &path);

// Writes text to path as one step: into a temporary file of its own (mkstemp, in the same
// directory, so no two processes ever share one), then renamed over path. Readers see the old
// file or the new one, never a part. Throws std::runtime_error naming the path on failure.
void WriteFileAtomically(const std::string &path, const std::string &text);

// Autosave: after every libusb call that may change a controller or the host's hold on it
// (transfers to the device, detach, configuration, claim, release, close, enumerations), when
// the state SaveStateText describes differs from what autosave or SaveStateFile last wrote to
// path, path is rewritten with WriteFileAtomically. A process killed at any moment leaves the
// state of its last call. The state at the time of this call is taken as the file's content.
// Empty path: off (Reset turns it off too). A failed write prints one "vusb:" line on standard
// error and is tried again after the next such call.
void SetAutoSave(const std::string &path);
// Files written by autosave since SetAutoSave.
int AutoSaveWrites();

// The bus shared with other processes through the state file path, as several programs share a
// machine's USB bus: autosave as above, but a write replaces only the devices this process
// changed since it last read or wrote them (under an exclusive lock on path.merge, waited for at
// most 30 s), a process that changed none writes nothing, and every enumeration first reads the
// file again for the devices this process holds no handle of. The file's state is read now.
void SetSharedState(const std::string &path);

// ---------------------------------------------------------------------------------------------
// Replay of a recording (panelcfg --record FILE)

// The status of a replay that ends at a call that differs from the recording.
constexpr int kReplayDiverged = 124;

// Loads a recording: from now on every libusb call, hidraw kernel call, pause and random draw is
// compared with the next recorded call and answered with its recorded answer (the simulated
// devices are left out). Throws std::runtime_error with a readable message on a file that is not
// a recording or one whose answers are malformed; the replay then stays as it was.
void LoadReplayText(const std::string &text);
void LoadReplayFile(const std::string &path);
bool Replaying();
// The command line recorded, without the program's name.
std::vector<std::string> ReplayArguments();
// The options the recorded run read, as ini text ("" when the recording has none).
std::string ReplayOptions();
// At the first call that differs: with stop (the default) the message goes to standard error and
// the process exits with kReplayDiverged; without, every later call fails (as on a device gone)
// and ReplayEnd tells.
void SetReplayStopsAtDivergence(bool stop);
// After the run: "" when the run asked every recorded call and nothing else, else the message
// naming the first call that differs ("replay diverges at call N: recorded ..., asked ...").
// Recorded calls left over count as a divergence (and stop the process when stop is on).
std::string ReplayEnd();
// Ends the replay; the simulated bus answers again.
void StopReplay();

} // namespace vusb
