/* A Windows host program in C. It loads tonewatch.dll and tonedial.dll by
 * name, as a host that ships them beside itself does, and holds its text as
 * wchar_t, which in C on Windows is the type the headers call char16_t. It
 * runs one check and exits 0 when it holds:
 *
 *   roundtrip  listens while dialling every key and a repeat: what is heard
 *              must be what was dialled (in one of three dials); a second
 *              start meanwhile is refused and leaves the capture running
 *   unload     FreeLibrary while capturing returns, and the running capture
 *              keeps the library loaded and listening until it is stopped;
 *              after the stop the library unloads
 *   exit       returns from main while capturing: the process must end (the
 *              caller bounds it in time)
 *
 * It needs a loopback where playback reaches capture (scripts/test-windows
 * runs it on a private PulseAudio server through Wine). */
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "tonedial.h"
#include "tonewatch.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

_Static_assert(_Generic((char16_t)0, wchar_t: 1, default: 0), "in C on Windows, char16_t is wchar_t");

typedef int32_t (*StartFunction)(void);
typedef int32_t (*StopFunction)(void);
typedef const char16_t* (*FetchFunction)(void);
typedef int32_t (*DialFunction)(const char16_t*);

struct Host {
    HMODULE watch;
    HMODULE dial;
    StartFunction start;
    StopFunction stop;
    FetchFunction fetch;
    DialFunction send;
};

enum { kPollMs = 20, kMaxKeys = 64 };
/* An idle audio server takes a while to deliver its first block, and playback
 * reaches capture only after the server's buffering: bounds for the waits. */
static const DWORD kFirstKeyMs = 15000;
static const DWORD kQuietMs = 1000;
static const DWORD kLastKeyMs = 5000;

static const wchar_t kEveryKey[] = L"1123456789*0#ABCD";

static int Fail(const char* what) {
    fprintf(stderr, "windows_host: %s\n", what);
    return 1;
}

/* GetProcAddress's FARPROC goes through the one function type that converts
 * to any other without a warning. */
static void (*Find(HMODULE module, const char* name))(void) {
    return (void (*)(void))GetProcAddress(module, name);
}

static int LoadWatch(struct Host* host) {
    host->watch = LoadLibraryW(L"tonewatch.dll");
    if (host->watch == NULL) return 0;
    host->start = (StartFunction)Find(host->watch, "PhoneDTMFCheckStart");
    host->stop = (StopFunction)Find(host->watch, "PhoneDTMFCheckStop");
    host->fetch = (FetchFunction)Find(host->watch, "PhoneDTMFReturnChar");
    return host->start != NULL && host->stop != NULL && host->fetch != NULL;
}

static int LoadDial(struct Host* host) {
    host->dial = LoadLibraryW(L"tonedial.dll");
    if (host->dial == NULL) return 0;
    host->send = (DialFunction)Find(host->dial, "PhoneDTMF");
    return host->send != NULL;
}

/* Waits for a stretch without keys, so that no late key of an earlier dial
 * follows. */
static int WaitForQuiet(const struct Host* host) {
    const DWORD begin = GetTickCount();
    for (DWORD quiet = begin; GetTickCount() - quiet < kQuietMs; Sleep(kPollMs)) {
        if (host->fetch()[0] != 0) quiet = GetTickCount();
        if (GetTickCount() - begin > kLastKeyMs) return 0;
    }
    return 1;
}

/* Dials 5 until the detector hears it: the audio path runs end to end. */
static int WaitForAudio(const struct Host* host) {
    static const wchar_t kProbe[] = L"5";
    const DWORD begin = GetTickCount();
    while (GetTickCount() - begin < kFirstKeyMs) {
        host->send(kProbe);
        if (host->fetch()[0] == L'5') return WaitForQuiet(host);
    }
    return 0;
}

struct Dial {
    const struct Host* host;
    const wchar_t* digits;
    volatile LONG done;
};

static DWORD WINAPI DialThread(void* argument) {
    struct Dial* dial = argument;
    dial->host->send(dial->digits);
    InterlockedExchange(&dial->done, 1);
    return 0;
}

static void Print(const char* label, const wchar_t* text) {
    printf("%s", label);
    for (; *text != 0; ++text) putchar(*text < 0x80 ? (char)*text : '?');
    putchar('\n');
}

/* Dials kEveryKey on a thread of its own while polling, as a host does, and
 * collects what is heard. */
static int DialAndListen(const struct Host* host, wchar_t heard[kMaxKeys + 1]) {
    struct Dial dial = {host, kEveryKey, 0};
    const HANDLE thread = CreateThread(NULL, 0, DialThread, &dial, 0, NULL);
    if (thread == NULL) return Fail("cannot start the dialling thread");
    size_t count = 0;
    DWORD finished = 0;
    const size_t expected = wcslen(kEveryKey);
    while (count < expected) {
        const wchar_t* key = host->fetch();
        if (key[0] != 0 && count < kMaxKeys) heard[count++] = key[0];
        if (dial.done && finished == 0) finished = GetTickCount();
        if (finished != 0 && GetTickCount() - finished > kLastKeyMs) break;
        Sleep(kPollMs);
    }
    heard[count] = 0;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return 0;
}

/* Wine's audio output can run dry in the middle of a tone on a busy machine,
 * which splits the key in two; one dial heard whole shows that the path
 * works, while a fault of ours would spoil every attempt. */
static int RoundTrip(const struct Host* host) {
    enum { kAttempts = 3 };
    if (host->start() != TONEWATCH_RUNNING) return Fail("start failed");
    if (host->start() != TONEWATCH_OPEN_FAILED) return Fail("a second start was not refused");
    if (!WaitForAudio(host)) return Fail("no key came through the loopback");
    Print("sent:  ", kEveryKey);
    int whole = 0;
    for (int attempt = 0; attempt < kAttempts && !whole; ++attempt) {
        wchar_t heard[kMaxKeys + 1];
        if (attempt > 0 && !WaitForQuiet(host)) return Fail("keys go on after the dial");
        if (DialAndListen(host, heard) != 0) return 1;
        Print("heard: ", heard);
        whole = wcscmp(heard, kEveryKey) == 0;
    }
    printf("blocks: %d\n", (int)host->stop());
    return whole ? 0 : Fail("no dial was heard as dialled");
}

static int Unload(struct Host* host) {
    if (host->start() != TONEWATCH_RUNNING) return Fail("start failed");
    const HMODULE first = host->watch;
    if (!FreeLibrary(host->watch)) return Fail("FreeLibrary failed");
    if (GetModuleHandleW(L"tonewatch.dll") != first) return Fail("the library was unloaded while capturing");
    if (!LoadWatch(host) || host->watch != first) return Fail("loading again did not give the running library");
    if (!WaitForAudio(host)) return Fail("capture did not go on after FreeLibrary");
    const int32_t blocks = host->stop();
    if (blocks <= 0) return Fail("the stop counted no blocks");
    if (!FreeLibrary(host->watch)) return Fail("FreeLibrary failed");
    if (GetModuleHandleW(L"tonewatch.dll") != NULL) return Fail("the library stayed loaded after the stop");
    printf("unloaded after %d blocks\n", (int)blocks);
    return 0;
}

static int ExitWhileCapturing(const struct Host* host) {
    if (host->start() != TONEWATCH_RUNNING) return Fail("start failed");
    if (!WaitForAudio(host)) return Fail("no key came through the loopback");
    return 0;
}

int main(int argc, char** argv) {
    if (argc != 2) return Fail("usage: windows_host roundtrip|unload|exit");
    struct Host host = {0};
    if (!LoadWatch(&host) || !LoadDial(&host)) return Fail("cannot load tonewatch.dll and tonedial.dll");
    if (strcmp(argv[1], "roundtrip") == 0) return RoundTrip(&host);
    if (strcmp(argv[1], "unload") == 0) return Unload(&host);
    if (strcmp(argv[1], "exit") == 0) return ExitWhileCapturing(&host);
    return Fail("unknown check");
}
