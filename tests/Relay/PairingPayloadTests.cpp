#include "VellumarMacCore/Relay/PairingPayload.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace vellumar;

TEST(PairingPayload, TextIsSixLinesWithTheHostInBracketsForIPv6)
{
    const PairingPayload payload { .host = "fe80::1c2b:3d4e",
        .port = 48788,
        .publicKeyPin = "n4bQgYhMfWWaL+qgxVrQFaO/TxsrC4Is0V1sFbDwCgg=",
        .code = "AbC_-0123456789abcdefghijklmnopqrstuvwxyzAB",
        .macID = "M-1",
        .macName = "Mac mini" };
    const std::string text = payload.text();
    EXPECT_EQ(text,
        "# Vellumar pairing v1\n"
        "https://[fe80::1c2b:3d4e]:48788\n"
        "pin-sha256=\"n4bQgYhMfWWaL+qgxVrQFaO/TxsrC4Is0V1sFbDwCgg=\"\n"
        "vellumar-pair=AbC_-0123456789abcdefghijklmnopqrstuvwxyzAB\n"
        "vellumar-mac-id=M-1\n"
        "vellumar-mac-name=Mac%20mini");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 5);
    EXPECT_EQ((PairingPayload { .host = "192.168.1.20", .port = 0 }).baseURL(), "https://192.168.1.20:0");
}

TEST(PairingPayload, MacNameIsPercentEncodedAsAPythonPeerDecodesIt)
{
    const std::string names[]
        = { "Büro-Mac", "a+b/c", "Anna’s MacBook Pro 😀", "-._~AZaz09", "line\nbreak", "" };
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        std::string encoded = PairingPayload::encodedMacName(name);
        EXPECT_TRUE(
            std::all_of(encoded.begin(), encoded.end(), [](unsigned char c) { return c > 32 && c < 127; }));
        auto peer = test::runPeer({ "python3", "-c",
            "import sys, urllib.parse; e = sys.argv[1]; "
            "sys.stdout.write(urllib.parse.unquote(e, errors='strict') + '|' + "
            "urllib.parse.quote(urllib.parse.unquote(e), safe='-._~'))",
            encoded });
        EXPECT_EQ(peer.output, name + "|" + encoded);
    }
    EXPECT_EQ(PairingPayload::encodedMacName("B\xFCro"), "Mac");
}
