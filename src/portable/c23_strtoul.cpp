#include "portable/c23_strtoul.hpp"

#include <cerrno>
#include <climits>

// No header of the <stdlib.h> family: under _GNU_SOURCE it renames strtoul
// to __isoc23_strtoul, the very function this file must not call.
extern "C" unsigned long strtoul(const char* text, char** end, int base) noexcept;  // the C11 one

namespace tavik::portable {

namespace {

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

unsigned long c23_strtoul(const char* text, char** end, int base) noexcept {
    const char* p = text;
    while (is_space(*p)) ++p;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    if ((base == 0 || base == 2) && p[0] == '0' && (p[1] == 'b' || p[1] == 'B') && (p[2] == '0' || p[2] == '1')) {
        // C11 would stop after the 0; the digits after the prefix are read in
        // base 2 and the sign applied as strtoul applies it.
        const int saved = errno;
        errno = 0;
        const unsigned long value = strtoul(p + 2, end, 2);
        if (errno == ERANGE) return ULONG_MAX;
        errno = saved;
        return negative ? -value : value;
    }
    return strtoul(text, end, base);
}

}  // namespace tavik::portable
