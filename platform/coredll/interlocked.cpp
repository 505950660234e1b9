// Interlocked operations: atomic read-modify-write on 32-bit values and
// pointers, sequentially consistent, as the target's kernel provides them.
// Each is a scheduling point under the deterministic scheduler.
#include <windows.h>

#include "scheduler.h"

extern "C" {

LONG InterlockedIncrement(LONG volatile *target) {
    KX_SCHEDULING_POINT("InterlockedIncrement", (const void *)target);
    return __atomic_add_fetch(target, 1, __ATOMIC_SEQ_CST);
}

LONG InterlockedDecrement(LONG volatile *target) {
    KX_SCHEDULING_POINT("InterlockedDecrement", (const void *)target);
    return __atomic_sub_fetch(target, 1, __ATOMIC_SEQ_CST);
}

LONG InterlockedExchange(LONG volatile *target, LONG value) {
    KX_SCHEDULING_POINT("InterlockedExchange", (const void *)target);
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}

LONG InterlockedExchangeAdd(LONG volatile *target, LONG value) {
    KX_SCHEDULING_POINT("InterlockedExchangeAdd", (const void *)target);
    return __atomic_fetch_add(target, value, __ATOMIC_SEQ_CST);
}

LONG InterlockedCompareExchange(LONG volatile *target, LONG exchange, LONG comparand) {
    KX_SCHEDULING_POINT("InterlockedCompareExchange", (const void *)target);
    __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return comparand;
}

PVOID InterlockedExchangePointer(PVOID volatile *target, PVOID value) {
    KX_SCHEDULING_POINT("InterlockedExchangePointer", (const void *)target);
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}

PVOID InterlockedCompareExchangePointer(PVOID volatile *target, PVOID exchange, PVOID comparand) {
    KX_SCHEDULING_POINT("InterlockedCompareExchangePointer", (const void *)target);
    __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return comparand;
}

} // extern "C"
