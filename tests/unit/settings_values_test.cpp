// Values of the server settings commands: mynetworks elements compared by
// address, the netmask's number syntax, and the Postfix version that has
// sender-dependent transports.
#include <gtest/gtest.h>

#include "commands/settings_commands.h"
#include "util/ascii_to_numeric.h"
#include "util/network_address.h"

namespace {

using marun::isLoopbackAddress;
using marun::NetworkAddress;

TEST(SettingsValuesTest, NetworksAreComparedByAddressWhateverTheirPrefix) {
    const NetworkAddress v4 = NetworkAddress::parse("10.0.0.0/24");
    EXPECT_EQ(v4.prefix, 24u);
    EXPECT_TRUE(v4.sameAddress(NetworkAddress::parse("10.0.0.0")));
    EXPECT_FALSE(v4.sameAddress(NetworkAddress::parse("10.0.0.1/24")));

    const NetworkAddress v6 = NetworkAddress::parse("[2001:db8::]/32");
    EXPECT_EQ(v6.address, "2001:db8::");
    EXPECT_TRUE(v6.sameAddress(NetworkAddress::parse("2001:DB8:0::0")));
    // An IPv4-mapped address is IPv6, not the IPv4 address it maps.
    EXPECT_FALSE(NetworkAddress::parse("::ffff:10.0.0.0").sameAddress(v4));

    const NetworkAddress table = NetworkAddress::parse("hash:/var/spool/postfix/marun/poplock");
    EXPECT_TRUE(table.sameAddress(NetworkAddress::parse("hash:/var/spool/postfix/marun/poplock")));
    EXPECT_FALSE(table.sameAddress(NetworkAddress::parse("hash:/var/spool/postfix/marun/other")));

    for (const char* loopback : {"127.0.0.1", "127.10.0.0", "::1", "0:0::1", "::ffff:127.0.0.2"}) {
        EXPECT_TRUE(isLoopbackAddress(loopback)) << loopback;
    }
    for (const char* other : {"10.0.0.0", "::2", "::ffff:128.0.0.1", "1270.0.0.1"}) {
        EXPECT_FALSE(isLoopbackAddress(other)) << other;
    }
}

TEST(SettingsValuesTest, NumbersNeverWrapOrTakeASign) {
    unsigned short value = 7;
    for (const char* good : {"24", " 24 ", "\t24\r\n", "+24", "+ 24", "65535"}) {
        value = 7;
        EXPECT_TRUE(marun::Util::ASCIIToNumeric(good, value)) << good;
        EXPECT_EQ(value, good[0] == '6' ? 65535 : 24) << good;
    }
    EXPECT_TRUE(marun::Util::ASCIIToNumeric("+  ", value));
    EXPECT_EQ(value, 0);
    for (const char* bad :
         {"", "  ", "-1", "- 1", "65536", "99999999999", "2 4", "24x", "0x18", "++24"}) {
        value = 7;
        EXPECT_FALSE(marun::Util::ASCIIToNumeric(bad, value)) << bad;
        EXPECT_EQ(value, 7) << bad;
    }
}

TEST(SettingsValuesTest, SenderTransportsFromVersionTwoSeven) {
    using marun::mail::postfix::kvarn_commands::sddTransportMapsSupported;
    for (const char* version : {"2.8.1\n", "3.7.11\n", "2.7\n", "2.7.0"}) {
        EXPECT_TRUE(sddTransportMapsSupported(version)) << version;
    }
    // "7\n" sorts after "7"; pieces compare as strings.
    for (const char* version : {"2.6.5\n", "2.7", "2", "2.10.1\n"}) {
        EXPECT_FALSE(sddTransportMapsSupported(version)) << version;
    }
}

}  // namespace
