#include "PacketFields.h"

#include <gtest/gtest.h>

#include <array>

TEST(PacketFieldsTest, LinkLayerHeaderSizes)
{
    const std::array<std::pair<int, int>, 17> cases{{{1, 14},
                                                     {0, 4},
                                                     {11, 4},
                                                     {108, 4},
                                                     {6, 15},
                                                     {7, 2},
                                                     {12, 0},
                                                     {2, -1},
                                                     {9, -1},
                                                     {10, -1},
                                                     {113, -1},
                                                     {109, -1},
                                                     {-1, -1},
                                                     {107, -1},
                                                     {228, -1},
                                                     {101, -1},
                                                     {1000, -1}}};
    for (auto [type, size] : cases)
        EXPECT_EQ(GetDataLinkHeaderSize(type), size) << "link type " << type;
}

TEST(PacketFieldsTest, Ipv4Fields)
{
    uint8_t ip[20] = {0x45, 0, 0x00, 0x28, 0, 0, 0, 0, 64, 6, 0, 0, 192, 168, 0, 1, 10, 0, 0, 2};
    EXPECT_EQ(GetIpHeaderLength(ip), 20);
    EXPECT_EQ(GetIpTotalLength(ip), 40);
    EXPECT_EQ(GetIpPayloadLength(ip), 20);
    EXPECT_EQ(GetIpSourceAddress(ip), (192u << 24) + (168u << 16) + 1u);
    EXPECT_EQ(GetIpDestinationAddress(ip), (10u << 24) + 2u);

    ip[0] = 0x4F;
    EXPECT_EQ(GetIpHeaderLength(ip), 60);
    ip[0] = 0x40;
    EXPECT_EQ(GetIpHeaderLength(ip), 0);
    ip[0] = 0x65; // the version nibble is not looked at
    EXPECT_EQ(GetIpHeaderLength(ip), 20);

    ip[2] = 0x01;
    ip[3] = 0x00;
    EXPECT_EQ(GetIpTotalLength(ip), 256);
    ip[2] = ip[3] = 0xFF;
    EXPECT_EQ(GetIpTotalLength(ip), 65535);
    ip[2] = ip[3] = 0;
    EXPECT_EQ(GetIpPayloadLength(ip), -20);
}

TEST(PacketFieldsTest, TcpFields)
{
    uint8_t tcp[20] = {0x00, 0x50, 0xFF, 0xFF, 0x80, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFE, 0x50, 0x12};
    EXPECT_EQ(GetTcpSourcePort(tcp), 80);
    EXPECT_EQ(GetTcpDestinationPort(tcp), 65535);
    EXPECT_EQ(GetTcpSequenceNumber(tcp), 0x80000001u);
    EXPECT_EQ(GetTcpAckNumber(tcp), 0xFFFFFFFEu);
    EXPECT_EQ(GetTcpHeaderLength(tcp), 20);
    tcp[12] = 0xF0;
    EXPECT_EQ(GetTcpHeaderLength(tcp), 60);
    tcp[12] = 0x5F;
    EXPECT_EQ(GetTcpHeaderLength(tcp), 20);

    struct FlagCase
    {
        uint8_t byte;
        int ack, rst, syn, fin;
    };
    for (auto c : {FlagCase{0x12, 1, 0, 1, 0}, FlagCase{0x11, 1, 0, 0, 1},
                   FlagCase{0x04, 0, 1, 0, 0}, FlagCase{0x28, 0, 0, 0, 0}}) {
        tcp[13] = c.byte;
        EXPECT_EQ(IsTcpAck(tcp), c.ack) << int(c.byte);
        EXPECT_EQ(IsTcpRst(tcp), c.rst) << int(c.byte);
        EXPECT_EQ(IsTcpSyn(tcp), c.syn) << int(c.byte);
        EXPECT_EQ(IsTcpFin(tcp), c.fin) << int(c.byte);
    }
}
