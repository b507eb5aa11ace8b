#include "tonedial.h"

#include "phone_service.h"

extern "C" TONEDIAL_EXPORT int32_t PhoneDTMF(const char16_t* digits) {
    // Outside the original contract, but a host passing null must not crash.
    if (digits == nullptr) return TONEDIAL_NO_DIGITS;
    // char16_t is unsigned, so the widening zero-extends.
    for (const char16_t* unit = digits; *unit != u'\0'; ++unit) tonedial::SendDigit(uint32_t{*unit});
    tonedial::FinishDigits();
    return TONEDIAL_SENT;
}
