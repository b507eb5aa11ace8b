/* The public header as a C11 host sees it, built with -pedantic-errors and
 * linked against libtonedial: the calls here touch no device. */
#include "tonedial.h"

#include <stddef.h>
#include <stdio.h>

int main(void) {
    static const char16_t empty[] = u"";
    if (PhoneDTMF(NULL) != TONEDIAL_NO_DIGITS || PhoneDTMF(empty) != TONEDIAL_SENT) {
        fputs("PhoneDTMF gave the wrong result to a C host\n", stderr);
        return 1;
    }
    return 0;
}
