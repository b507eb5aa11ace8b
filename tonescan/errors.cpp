// Results in words, and the version.
#include "tonescan.h"

#define TONESCAN_STRING(x) #x
#define TONESCAN_VERSION_TEXT(major, minor, patch) \
    TONESCAN_STRING(major) "." TONESCAN_STRING(minor) "." TONESCAN_STRING(patch)

extern "C" {

const char* tonescan_strerror(int error) {
    switch (error) {
        case TONESCAN_OK: return "success";
        case TONESCAN_EARG: return "invalid argument";
        case TONESCAN_ERATE: return "sample rate out of range";
        case TONESCAN_ECHANNEL: return "no such channel or stream";
        case TONESCAN_EENDED: return "the stream has ended";
        case TONESCAN_EFULL: return "the press queue is full";
        case TONESCAN_ENOMEM: return "out of memory";
        case TONESCAN_EOPEN: return "the input could not be opened";
        case TONESCAN_EFORMAT: return "not a readable audio file";
        case TONESCAN_ETRUNCATED: return "the file is truncated";
        case TONESCAN_EREAD: return "read error";
        case TONESCAN_ECANCELLED: return "cancelled";
        case TONESCAN_EINTERNAL: return "internal error";
        default: return "unknown error";
    }
}

const char* tonescan_version(void) {
    return TONESCAN_VERSION_TEXT(TONESCAN_VERSION_MAJOR, TONESCAN_VERSION_MINOR, TONESCAN_VERSION_PATCH);
}

}
