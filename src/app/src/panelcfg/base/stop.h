// Stopping a run by signal: SIGINT, SIGTERM, SIGHUP and SIGQUIT.
//
// The first one lets the controller in hand finish its handling (every pause in full), its
// reset, release and close; the scan then opens no further device. A second one while a
// controller is in hand abandons the rest of its protocol at once: transfers fail without
// reaching the bus and pauses end at once, except for the controller's final reset, which is
// still sent in full.
#pragma once

// Installs the handlers of the four stop signals and ignores SIGPIPE (a closed output pipe never
// stops a run). A signal received before, under handlers installed earlier, still counts: the
// simulator installs them before it waits for its lock.
void InstallStopSignals();

// Forgets the signals received so far (InitRunState: a new run in the same process).
void ClearStopSignals();

// The first stop signal received, 0 when none.
int StopSignal();

// Its name ("SIGTERM"), or "signal N".
const char *StopSignalName(int sig);

// Whether a controller is taken over now, and whether its final reset is being sent.
void SetControllerInHand(bool inHand);
void SetFinalReset(bool resetting);

// True after a second stop signal while a controller is in hand, outside its final reset: the
// rest of its protocol is not carried out.
bool ProtocolAbandoned();
