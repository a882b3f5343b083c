// The recording of a run (--record FILE): every call the run makes at its USB and hidraw
// boundary, in order, with its arguments and its answer, every pause and the random draw, kept
// in one JSON document that panelcfg-sim --replay answers a run from.
//
// An entry is built field by field: RecordBegin names the call, fields follow (the call's
// arguments), RecordAnswer opens its answer (what the call returned), RecordEnd appends it.
// Nothing is kept while no recording was started.
#pragma once

#include <cstddef>

// The version of the document's layout, its "recording" member.
constexpr int kRecordingSchema = 1;

// What a byte string of an entry is, for the serial filter.
enum RecordedBytes {
  RECORD_SENT,     // a feature report sent, report ID first
  RECORD_RECEIVED, // a feature report received, report ID first
  RECORD_RANDOM,   // the random draw for a new serial number
};

// Replaces the serial-number bytes in data (len bytes of the given kind) in place.
using SerialFilter = void (*)(RecordedBytes kind, unsigned char *data, size_t len);

// Starts a recording into path: the file is created (never over an existing one, never through
// a link, mode 0600) holding a document marked incomplete, so that a run that cannot finish
// leaves one. argv[1..argc) is the command line as recorded. filter (null: serials kept)
// replaces the serial bytes of every byte string before it is kept. Returns 0, or the errno of
// the failed creation.
int StartRecording(const char *path, int argc, const char *const *argv, SerialFilter filter);

// Whether a recording is going on.
bool Recording();

// Whether the serial numbers are kept as they are (--record-serials).
bool RecordKeepsSerials();

// The fields of one entry.
void RecordBegin(const char *call);
void RecordField(const char *key, long value);
void RecordFlag(const char *key, bool value);
void RecordText(const char *key, const char *text);
void RecordNull(const char *key);
// len bytes as hexadecimal text.
void RecordBytes(const char *key, const unsigned char *data, size_t len);
// The same, after the serial filter (when serials are not kept).
void RecordFiltered(const char *key, RecordedBytes kind, const unsigned char *data, size_t len);
// Nested values: an object under key (or in the list open now when key is null), a list under
// key; each ends with RecordClose.
void RecordObject(const char *key);
void RecordList(const char *key);
void RecordClose();
// Opens the answer of the call (an object under "answer").
void RecordAnswer();
// Appends the entry; a first enumeration's devices are also kept as the document's "bus".
void RecordEnd();

// A pause of the sleep helper.
void RecordPause(unsigned int ms);

// Ends the recording: writes the whole document, with the run's exit status, over the file
// (through a fresh file renamed over it). A run stopped by a signal is marked incomplete.
// A file that cannot be written is named on standard error. Returns status.
int FinishRecording(int status);
