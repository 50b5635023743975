#pragma once
// The station's side of a ControlDatagram from the decoder: one command per
// datagram, carried out on the main thread when the link socket is readable.

#include <cstddef>

#include "station/shell/station_control.h"
#include "station/shell/station_settings.h"

namespace station {

// SetBand limits, Hz: both the width and the centre must lie in 1 … 3999.
inline constexpr int minBandHz = 1;
inline constexpr int maxBandHz = 3999;

// Carries out the command in the datagram's first 20 bytes (`length` is the
// received length; further bytes are not read). Returns false when the
// datagram is ignored: shorter than 20 bytes, an unknown command, a SetBand
// outside its limits or a display size outside 1 … 4.
//
// Commands: SetBand stores filterLength (from filterCode; unknown codes mean
// 32 taps, filter off) and the band, then redesigns the filter; it is not
// passed on to a server. SetKeyingThreshold, SetPlayback (0 or 1) and
// SetDrawWindow store their value. SetDisplaySize goes through
// changeDisplaySize. Quit asks the station to quit. SelectInputDevice and
// SelectOutputDevice store the device index and reopen that device, except
// that a client without the dialog role keeps its capture closed.
bool handleControlDatagram(const void* data, std::size_t length, StationSettings& settings, StationControl& control);

} // namespace station
