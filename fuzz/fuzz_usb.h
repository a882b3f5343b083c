// A USB bus whose every answer comes from the fuzz input: the libusb 0.1 calls of the utility
// and its sleep helper, for the controller-answers target.
//
// The head of the input describes the devices (IDs, descriptor fields, how each controller
// starts); every later call (open, string read, driver and interface calls, control transfer)
// takes its outcome from the input as it happens. A control transfer either gets the answer a
// well-behaved controller would give (from a small model of both controller families), or
// fails, moves nothing, moves part of it, delivers bytes straight from the input, or unplugs the
// device for good. An exhausted input answers like a well-behaved controller.
//
// The bus also checks, as the calls arrive, what no input may make the utility do: open a
// second device while one is open, open a device of no supported family, send a control
// transfer to a device whose interface it has not claimed, close a device whose claimed
// interface it has not released, or keep going without end. Feature reports through the hidraw
// node (the read-only status) reach the same answers without a claim.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <vector>

namespace fuzzusb {

// Replaces the bus with ndevices devices described by the input; later calls draw from it too.
void Begin(FuzzedDataProvider &input, int ndevices);

// Checks that every device opened was closed; then forgets the input.
void End();

// Vendor and product IDs ("%04x:%04x") of the devices whose firmware identity (report 0xF2,
// 16 bytes) was read successfully, in the order they were read.
const std::vector<std::string> &FirmwareRead();

// Number of devices that were opened, over the run.
int Opened();

// While on, a Set_Report that would change a controller (a write or a reset) ends the process
// as a fault: the read-only reports send only read requests. End turns it off.
void SetReadOnly(bool on);

} // namespace fuzzusb
