// The echo request on the wire and the parsing of replies.
#include <gtest/gtest.h>

#include <vector>

#include "camera/icmp_packet.h"

using namespace ipcam;

namespace {

// A 20-byte IP header (plus `optionWords` 4-byte option words) followed by
// an ICMP message of `icmpBytes` bytes with the given type.
std::vector<uint8_t> ipPacket(uint8_t icmpType, uint8_t ttl, std::size_t icmpBytes, int optionWords = 0) {
    const std::size_t hlen = 20 + static_cast<std::size_t>(optionWords) * 4;
    std::vector<uint8_t> p(hlen + icmpBytes, 0);
    p[0] = static_cast<uint8_t>(0x40 | (hlen / 4));
    p[8] = ttl;
    p[9] = 1;
    p[12] = 127; p[13] = 0; p[14] = 0; p[15] = 1;
    for (std::size_t i = 20; i < hlen; ++i)
        p[i] = 0x01;  // NOP options, would be taken for an ICMP type if skipped wrongly
    if (icmpBytes > 0)
        p[hlen] = icmpType;
    if (icmpBytes >= 8) {
        p[hlen + 6] = 0x34;  // sequence 0x1234, little-endian
        p[hlen + 7] = 0x12;
    }
    return p;
}

}  // namespace

TEST(EchoRequest, KnownBytesAndChecksum) {
    const EchoRequest p = buildEchoRequest(0x1234, 1, 0x01020304);
    ASSERT_EQ(p.size(), 52u);
    EXPECT_EQ(p[0], 8);
    EXPECT_EQ(p[1], 0);
    EXPECT_EQ(p[2], 0x68);  // checksum 0x6895 in network order
    EXPECT_EQ(p[3], 0x95);
    EXPECT_EQ(p[4], 0x34);  // identifier, little-endian
    EXPECT_EQ(p[5], 0x12);
    EXPECT_EQ(p[6], 0x01);  // sequence, little-endian
    EXPECT_EQ(p[7], 0x00);
    EXPECT_EQ(p[8], 0x04);  // tick count, little-endian
    EXPECT_EQ(p[9], 0x03);
    EXPECT_EQ(p[10], 0x02);
    EXPECT_EQ(p[11], 0x01);
    for (int i = 12; i < 20; ++i)
        EXPECT_EQ(p[static_cast<size_t>(i)], 0) << i;
    for (int i = 20; i < 52; ++i)
        EXPECT_EQ(p[static_cast<size_t>(i)], 'E') << i;
}

TEST(EchoRequest, ChecksumVerifiesForAnyFields) {
    for (uint32_t tick : {0u, 1u, 0xFFFFFFFFu, 0x80000001u}) {
        for (uint16_t seq : {uint16_t{0}, uint16_t{0xFFFF}, uint16_t{77}}) {
            const EchoRequest p = buildEchoRequest(0xBEEF, seq, tick);
            // Summing a packet that carries its own checksum gives 0.
            EXPECT_EQ(internetChecksum(p), 0) << tick << " " << seq;
        }
    }
}

TEST(InternetChecksum, Rfc1071ExampleAndOddLength) {
    const uint8_t rfc[] = {0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7};
    EXPECT_EQ(internetChecksum(rfc), 0x220D);
    const uint8_t odd[] = {0x01};  // padded to 0x0100
    EXPECT_EQ(internetChecksum(odd), 0xFEFF);
}

TEST(ParseReply, EchoReplyFillsRecord) {
    auto p = ipPacket(0, 64, 52);
    const std::size_t h = 20;
    p[h + 8] = 100;  // sent tick count 100
    const auto r = parseIpReply(p, 130);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, ReplyStatus::Echo);
    EXPECT_EQ(r->ttl, 64);
    EXPECT_EQ(r->bytesReceived, 72u);
    EXPECT_EQ(r->sourceAddress, "127.0.0.1");
    EXPECT_EQ(r->sequence, 0x1234);
    EXPECT_EQ(r->roundTripMs, 30u);
    // Our own request seen on a raw socket also counts as an echo.
    EXPECT_EQ(parseIpReply(ipPacket(8, 64, 52), 0)->status, ReplyStatus::Echo);
}

TEST(ParseReply, ShortPacketsAreErrors) {
    EXPECT_FALSE(parseIpReply({}, 0));
    EXPECT_FALSE(parseIpReply(ipPacket(0, 64, 7), 0));        // header + 7 < header + 8
    EXPECT_TRUE(parseIpReply(ipPacket(0, 64, 8), 0));         // exactly header + 8
    EXPECT_FALSE(parseIpReply(ipPacket(0, 64, 7, 2), 0));     // options make the header longer
    auto tinyHeader = ipPacket(0, 64, 40);
    tinyHeader[0] = 0x42;  // header length 8: nonsense
    EXPECT_FALSE(parseIpReply(tinyHeader, 0));
}

TEST(ParseReply, TypesByTheHeaderLength) {
    EXPECT_FALSE(parseIpReply(ipPacket(5, 64, 36), 0));  // redirect: unknown here
    EXPECT_FALSE(parseIpReply(ipPacket(13, 64, 36), 0));
    const auto unreachable = parseIpReply(ipPacket(3, 250, 36), 0);
    ASSERT_TRUE(unreachable);
    EXPECT_EQ(unreachable->status, ReplyStatus::Unreachable);
    EXPECT_EQ(unreachable->ttl, 250);  // a router's answer still has a TTL
    EXPECT_EQ(parseIpReply(ipPacket(11, 3, 36), 0)->status, ReplyStatus::TtlExceeded);

    // With 8 bytes of options the type sits at offset 28, not 20.
    const auto withOptions = parseIpReply(ipPacket(0, 17, 52, 2), 0);
    ASSERT_TRUE(withOptions);
    EXPECT_EQ(withOptions->status, ReplyStatus::Echo);
    EXPECT_EQ(withOptions->ttl, 17);
    EXPECT_EQ(withOptions->sequence, 0x1234);
}

TEST(ParseReply, DatagramReplyTakesTtlFromOutside) {
    std::vector<uint8_t> icmp(52, 0);
    const auto r = parseIcmpReply(icmp, 0, 64, "127.0.0.1");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->ttl, 64);
    EXPECT_EQ(r->status, ReplyStatus::Echo);
    icmp[0] = 42;
    EXPECT_FALSE(parseIcmpReply(icmp, 0, 64, "127.0.0.1"));
    EXPECT_FALSE(parseIcmpReply(std::vector<uint8_t>(4, 0), 0, 64, "127.0.0.1"));
}

TEST(ParseReply, TimedOutRecord) {
    const ReplyRecord r = timedOutReply();
    EXPECT_EQ(r.bytesReceived, 0u);
    EXPECT_EQ(r.sourceAddress, "0.0.0.0");
    EXPECT_EQ(r.ttl, 0);
    EXPECT_EQ(r.status, ReplyStatus::TimedOut);
}
