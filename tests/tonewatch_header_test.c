/* The public header as a C11 host sees it, built with -pedantic-errors and
 * linked against libtonewatch: the calls here touch no device. */
#include "tonewatch.h"

#include <stdio.h>

int main(void) {
    const char16_t* key = PhoneDTMFReturnChar();
    if (key == NULL || key[0] != 0 || PhoneDTMFCheckStop() != 0) {
        fputs("the detector gave the wrong result to a C host\n", stderr);
        return 1;
    }
    return 0;
}
