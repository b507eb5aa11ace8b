// alsa-lib's error.h declares snd_lib_error_set_local after its extern "C"
// block has closed: included here first, so that C++ does not mangle it.
extern "C" {
#include <alsa/asoundlib.h>
}

#include "alsa_worker.h"

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

namespace alsaworker {

namespace {

void DropMessage(const char*, int, const char*, int, const char*, va_list) {}

// Shared by the caller and the call's thread; freed by the caller once the
// call is done, or by the thread when the caller has gone on without it.
struct Call {
    CallFunction run = nullptr;
    CallData data;  // pointing at the copies below
    char* text = nullptr;
    int16_t* frames = nullptr;
    snd_pcm_t* pcm = nullptr;
    std::mutex mutex;
    std::condition_variable finished;
    int result = 0;
    bool done = false;
    bool abandoned = false;

    ~Call() {
        std::free(text);
        std::free(frames);
    }
};

// A Call holding its own copy of `data`; null when memory is short.
Call* NewCall(CallFunction run, const CallData& data) {
    auto* call = new (std::nothrow) Call;
    if (call == nullptr) return nullptr;
    call->run = run;
    call->data = data;
    if (data.text != nullptr) {
        call->text = strdup(data.text);
        call->data.text = call->text;
    }
    if (data.count > 0) {
        call->frames = static_cast<int16_t*>(std::malloc(data.count * sizeof(int16_t)));
        if (call->frames != nullptr) std::memcpy(call->frames, data.frames, data.count * sizeof(int16_t));
        call->data.frames = call->frames;
    }
    if ((data.text != nullptr && call->text == nullptr) || (data.count > 0 && call->frames == nullptr)) {
        delete call;
        return nullptr;
    }
    return call;
}

void* RunCall(void* argument) {
    auto* call = static_cast<Call*>(argument);
    QuietThisThread();
    const int result = call->run(call->pcm, call->data);
    {
        std::lock_guard lock(call->mutex);
        if (!call->abandoned) {
            call->result = result;
            call->done = true;
            call->finished.notify_all();
            return nullptr;
        }
    }
    if (call->pcm != nullptr) snd_pcm_close(call->pcm);
    delete call;
    return nullptr;
}

// A thread left behind may still return into this library's code: keep the
// library loaded for the rest of the process (the handle is never closed).
// In a program linked statically this finds the program itself, which stays
// anyway.
void KeepThisLibraryLoaded() {
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&KeepThisLibraryLoaded), &info) != 0 && info.dli_fname != nullptr) {
        dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
    }
}

}

int BoundedCall(snd_pcm_t*& pcm, CallFunction run, const CallData& data, std::chrono::milliseconds bound) {
    Call* shared = NewCall(run, data);
    if (shared == nullptr) return -ENOMEM;
    shared->pcm = pcm;
    pthread_t thread;
    // Signals stay with the host's threads.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    const int created = pthread_create(&thread, nullptr, RunCall, shared);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (created != 0) {
        delete shared;
        return -ENOMEM;
    }
    {
        std::unique_lock lock(shared->mutex);
        if (!shared->finished.wait_for(lock, bound, [&] { return shared->done; })) {
            shared->abandoned = true;
            lock.unlock();
            KeepThisLibraryLoaded();
            pthread_detach(thread);
            pcm = nullptr;
            return -ETIMEDOUT;
        }
    }
    pthread_join(thread, nullptr);
    pcm = shared->pcm;
    const int result = shared->result;
    delete shared;
    return result;
}

int BoundedCall(snd_pcm_t*& pcm, CallFunction run, std::chrono::milliseconds bound) {
    return BoundedCall(pcm, run, CallData{}, bound);
}

void BoundedClose(snd_pcm_t*& pcm, std::chrono::milliseconds bound) {
    if (pcm == nullptr) return;
    BoundedCall(
        pcm,
        [](snd_pcm_t*& closing, const CallData&) {
            const int result = snd_pcm_close(closing);
            closing = nullptr;
            return result;
        },
        bound);
    pcm = nullptr;
}

void QuietThisThread() { snd_lib_error_set_local(DropMessage); }

AlsaQuietScope::AlsaQuietScope() : previous_(snd_lib_error_set_local(DropMessage)) {}

AlsaQuietScope::~AlsaQuietScope() { snd_lib_error_set_local(previous_); }

}
