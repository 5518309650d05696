// Domain name and address conversion to the ASCII (IDNA) form, both layers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "lib/idn.h"
#include "util/idn.h"

namespace {

using marun::idn::emailToAscii;
using marun::idn::IdnaError;
using marun::idn::toAscii;
using marun::idn::toUtf8;

// "bücher.example" in UTF-8 and its ASCII form.
const std::string kUnicodeDomain =
    "b\xc3\xbc"
    "cher.example";
const std::string kAsciiDomain = "xn--bcher-kva.example";
const std::string kLongLabel = std::string(64, 'a') + ".example";

// Calls a C conversion and takes ownership of its malloc'ed result.
std::string c(char* (*convert)(const char*), const std::string& input) {
    std::unique_ptr<char, decltype(&std::free)> result(convert(input.c_str()), std::free);
    return result ? result.get() : "<null>";
}

TEST(Idn, NamesConvertAndTheResultIsStable) {
    for (const std::string& name : {std::string("Mail.Example.COM"), kAsciiDomain}) {
        EXPECT_EQ(toAscii(name), name);
        EXPECT_EQ(c(idn_toascii, name), name);
    }
    EXPECT_EQ(toAscii(kUnicodeDomain), kAsciiDomain);
    EXPECT_EQ(c(idn_toascii, kUnicodeDomain), kAsciiDomain);
    EXPECT_EQ(toUtf8(kAsciiDomain), kUnicodeDomain);
}

TEST(Idn, FailuresCarryTheLibraryCode) {
    try {
        toAscii(kLongLabel);
        FAIL() << "no IdnaError";
    } catch (const IdnaError& e) {
        EXPECT_EQ(e.code(), 5);
        EXPECT_STREQ(e.what(), "Invalid length");
    }
    idn_errno = 0;
    EXPECT_EQ(c(idn_toascii, kLongLabel), "<null>");
    EXPECT_EQ(idn_errno, 5);

    EXPECT_THROW(emailToAscii("user@" + kLongLabel), IdnaError);
}

TEST(Idn, AddressesConvertOnlyTheDomainAfterTheFirstAt) {
    EXPECT_EQ(emailToAscii("J.Doe@" + kUnicodeDomain), "J.Doe@" + kAsciiDomain);
    EXPECT_EQ(c(idn_email_toascii, "J.Doe@" + kUnicodeDomain), "J.Doe@" + kAsciiDomain);

    EXPECT_EQ(c(idn_email_toascii, "no-at-sign"), "<null>");
    // The local part is never converted; the address splits at its first "@".
    EXPECT_EQ(c(idn_email_toascii, "x@b\xc3\xbc@example.com"), "x@xn--b@example-q9a.com");
}

TEST(IdnDeathTest, SafeVariantEndsTheProcessOnFailure) {
    EXPECT_EXIT(idn_toascii_safe(kLongLabel.c_str()), testing::ExitedWithCode(1),
                "idn_toascii_safe\\(a+\\.example\\) failed: Invalid length");
}

}  // namespace
