// The tone phone's own query, for host tools that want to tell a user why a
// dial stays silent before they dial.
#pragma once

namespace tonedial {

// Opens ALSA "default" for playback in the phone's format and closes it again.
// Returns null when that works, otherwise ALSA's reason.
const char* TonePhonePlaybackError();

}
