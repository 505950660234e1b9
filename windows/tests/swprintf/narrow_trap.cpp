// Calls the swprintf check must refuse (and two it must accept).
#include <windows.h>

void Fixture(WCHAR *out, const WCHAR *format, va_list args) {
    swprintf(out, 16, L"%s", L"wide");             // refused: %s
    swprintf(out, 16, TEXT("%d %c"), 1, L'x');     // refused: %c
    vswprintf(out, 16, format, args);              // refused: not a literal
    swprintf(out, 16, TEXT("%ls %hs %d"), L"w", "n", 2); // accepted
    /* swprintf(out, 16, L"%s", L"in a comment"); */ // not a call
}
int swprintf(WCHAR *dest, size_t count, const WCHAR *format, ...); // a declaration
