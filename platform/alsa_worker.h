// ALSA calls that may wait on a sound server without a bound, made so that the
// caller's wait is bounded. PulseAudio's and PipeWire's plugins wait for the
// server's answer to a connect, a start, a drop or a drain for ever when the
// server is frozen (stopped, or hung), so such a call runs on a thread of its
// own that the caller waits for with a deadline. When the deadline passes the
// caller goes on without it: the thread then owns the PCM, closes it once the
// call returns, if ever, and touches nothing else. The library holding this
// code stays loaded from then on, so that unloading it cannot pull the code
// from under that thread.
//
// Both libraries keep alsa-lib quiet: its messages go to the process's error
// handler, which prints to stderr unless the host set its own. Every ALSA
// call the libraries make runs on their own threads or inside an
// AlsaQuietScope, with a thread-local handler that drops the message; a
// handler the host set still gets it (alsa-lib hands messages to the
// thread-local handler only while the process's handler is its default).
#pragma once

#include <alsa/asoundlib.h>

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace alsaworker {

// What a call needs besides the PCM; BoundedCall hands it a copy of its own.
struct CallData {
    const char* text = nullptr;  // a PCM name
    const int16_t* frames = nullptr;
    std::size_t count = 0;  // frames
    unsigned number = 0;  // a rate
};

using CallFunction = int (*)(snd_pcm_t*& pcm, const CallData& data);

// The result of `run`, called on a thread of its own with `pcm` (which it may
// open, replace or close) and a copy of `data`, or -ETIMEDOUT when it has not
// returned within `bound`; the PCM then belongs to that thread and `pcm` is
// set to null. -ENOMEM when no thread or copy could be made.
int BoundedCall(snd_pcm_t*& pcm, CallFunction run, const CallData& data, std::chrono::milliseconds bound);

// The same for a call that needs nothing but the PCM.
int BoundedCall(snd_pcm_t*& pcm, CallFunction run, std::chrono::milliseconds bound);

// Closes `pcm` (if not null) within `bound`, or leaves the close to a thread
// of its own.
void BoundedClose(snd_pcm_t*& pcm, std::chrono::milliseconds bound);

// alsa-lib's messages on this thread are dropped, for the rest of its life.
// For threads the libraries make.
void QuietThisThread();

// alsa-lib's messages on this thread are dropped while the scope lasts.
class AlsaQuietScope {
public:
    AlsaQuietScope();
    ~AlsaQuietScope();
    AlsaQuietScope(const AlsaQuietScope&) = delete;
    AlsaQuietScope& operator=(const AlsaQuietScope&) = delete;

private:
    snd_local_error_handler_t previous_;
};

}
