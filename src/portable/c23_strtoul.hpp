// C23's strtoul for the glibc stand-ins of portable wheels (glibc_compat.cpp),
// kept apart so that the tests can hold it against the C library's own.
#pragma once

namespace tavik::portable {

// strtoul as C23 defines it: C11's, plus the 0b/0B prefix of bases 0 and 2.
// Same arguments, result, *end and errno as the C library's.
unsigned long c23_strtoul(const char* text, char** end, int base) noexcept;

}  // namespace tavik::portable
