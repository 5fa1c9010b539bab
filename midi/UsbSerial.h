// The serial number of the USB device behind a MIDI port, for a station's record of each unit.
#pragma once

#include <QString>

namespace UsbSerial
{

// The USB serial number of the device behind the ALSA sequencer port `portName` (as RtMidi lists
// it, "client:port C:P"), read from sysfs through the sound card the client belongs to; empty for
// a port of a program, of a device without one, or of another service.
QString Of(const QString &service, const QString &portName);

} // namespace UsbSerial
