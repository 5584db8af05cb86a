// The control thread: connects its database connection, opens the Modbus and Vision links,
// launches the three pollers and runs the acquisition cycle every 980 ms until StopRequest.
//
// StartControl and StopControl run on the window thread; RunControl is the thread's body. The
// Acquisition must outlive the thread (the state owner joins it before it goes).
#ifndef KALVIX_ACQUISITION_CONTROL_THREAD_H_
#define KALVIX_ACQUISITION_CONTROL_THREAD_H_

#include "acquisition/acquisition.h"
#include "acquisition/control_loop.h"

namespace kalvix {

// Starts the control thread unless it runs. False, without a message, when the probe query
// on the user connection fails; the thread is then not started.
bool StartControl(const Acquisition& s);

// Asks every worker to stop and waits up to 500 ms; true when the control thread has ended.
bool StopControl(const Acquisition& s);

// The "Старт" and "Стоп" buttons.
void ButStartClick(const Acquisition& s);
void ButStopClick(const Acquisition& s);

// The control thread's body: starts a ControlLoop, runs its passes with the pacing waits
// between them until StopRequest, and finishes it.
void RunControl(const Acquisition& s);

}  // namespace kalvix

#endif  // KALVIX_ACQUISITION_CONTROL_THREAD_H_
