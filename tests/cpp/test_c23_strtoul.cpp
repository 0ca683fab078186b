// The portable wheel's stand-in for glibc's __isoc23_strtoul against the C
// library's own C23 strtoul: value, end position and errno, input by input.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "portable/c23_strtoul.hpp"

namespace {

struct Parse {
    unsigned long value;
    std::ptrdiff_t consumed;
    int error;
    bool operator==(const Parse&) const = default;
};

template <class F>
Parse parse(F f, const char* text, int base) {
    char* end = nullptr;
    errno = 0;
    const unsigned long value = f(text, &end, base);
    return {value, end - text, errno};
}

TEST(C23Strtoul, AgreesWithTheCLibrary) {
    // Built with _GNU_SOURCE and glibc >= 2.38, std::strtoul is the C23 one.
    const char* inputs[] = {
        "0", "42", "  \t\n+17xyz", "-1", "-0", "18446744073709551615", "18446744073709551616",
        "-18446744073709551615", "-18446744073709551616", "99999999999999999999999", "0x1F", "0X", "017",
        "0b101", "0B11", "-0b1", "+0b10", "0b", "0b2", "0b102", " 0b1111111111111111111111111111111111111111111111111111111111111111",
        "0b11111111111111111111111111111111111111111111111111111111111111111", "-0b11111111111111111111111111111111111111111111111111111111111111111",
        "", "   ", "-", "z", "zz", "1e5", "０",
    };
    for (int base : {0, 2, 8, 10, 16, 36}) {
        for (const char* text : inputs) {
            SCOPED_TRACE(std::string("base ") + std::to_string(base) + ", \"" + text + "\"");
            EXPECT_EQ(parse(tavik::portable::c23_strtoul, text, base),
                      parse([](const char* t, char** e, int b) { return std::strtoul(t, e, b); }, text, base));
        }
    }
}

TEST(C23Strtoul, KeepsErrnoWhenNothingOverflows) {
    char* end = nullptr;
    errno = EDOM;
    EXPECT_EQ(tavik::portable::c23_strtoul("0b11", &end, 0), 3UL);
    EXPECT_EQ(errno, EDOM);
}

}  // namespace
