#pragma once
// The simulated adapter, all of it: an independent model of the adapter's version
// responder and flash loader with fault injection and a latency model, and the
// ReportChannel that puts it behind the same seam as real hardware. It keeps a flash
// image so every test can compare the flash with the file. Its parts:
//   sim/Faults.h            the faults it can inject, and their text form
//   sim/AdapterModel.h      the device: command execution, flash, version replies
//   sim/ReplyQueue.h        its replies on their way to the host, and the link's latency
//   sim/SimulatedChannel.h  the ReportChannel over it (tests, the benchmark, --simulate)
// Other transports (a Windows named pipe, the USB gadget) serve the same AdapterModel.
#include "sim/AdapterModel.h"
#include "sim/Faults.h"
#include "sim/ReplyQueue.h"
#include "sim/SimulatedChannel.h"
