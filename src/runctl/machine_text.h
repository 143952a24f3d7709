// Display texts about the machine, the user, the program and a time span,
// for the log header, the completion report, the caption and the About box.
// None of them fails: what cannot be found is empty text.
#pragma once

#include <string>

namespace twf {

// The four-part program version compiled in from the build ("1.0.0.0" when
// the build gives none).
std::string AppVersionString();
// The host name up to its first ".", empty when unknown.
std::string ComputerNameText();
// The name of the user the process runs as (effective user), empty when unknown.
std::string UserNameText();
// The hardware model from the firmware tables (DMI product name, else the
// device-tree model), trimmed; empty when neither exists.
std::string DeviceModelText();
// Same, with the two files looked up below root ("/" for the real system).
std::string DeviceModelTextAt(const std::string& root);
// Seconds rounded half to even: "12 s" below a minute (negative values too),
// "4 min 10 s" below an hour, "2 h 5 min" from one hour on.
std::string FormatDuration(double seconds);

} // namespace twf
