#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "proxy/io/Data.h"

namespace pemtrox::test {

/// One IPv4 or IPv6 packet carrying TCP, UDP, ICMP or ICMPv6, as fields: build() makes
/// the bytes with every checksum right, parse() reads them back (no extension headers;
/// of the TCP options only a leading MSS).
struct Packet {
    enum Protocol : std::uint8_t { icmp = 1, tcp = 6, udp = 17, icmp6 = 58 };
    enum TcpFlag : std::uint8_t { fin = 1, syn = 2, rst = 4, psh = 8, ack = 16 };

    int version = 4;
    std::string source, destination; // address texts
    std::uint8_t protocol = udp;
    std::uint16_t fragment = 0; // IPv4 flags and fragment offset, as on the wire
    std::uint16_t sourcePort = 0, destinationPort = 0;
    std::uint32_t seq = 1000, ackNumber = 0;
    std::uint8_t flags = 0;
    std::uint16_t window = 65535;
    std::optional<std::uint16_t> mss;
    std::uint8_t icmpType = 0; // the ICMP payload follows type, code and checksum
    Data payload;

    static Packet tcpSegment(const std::string& source, std::uint16_t sourcePort,
                             const std::string& destination, std::uint16_t destinationPort,
                             std::uint8_t flags);
    static Packet udpDatagram(const std::string& source, std::uint16_t sourcePort,
                              const std::string& destination, std::uint16_t destinationPort, Data payload);
    /// An echo request (ICMP or ICMPv6 by the address family): identifier, sequence, "ping".
    static Packet echoRequest(const std::string& source, const std::string& destination);

    Data build() const;
    static std::optional<Packet> parse(const Data& bytes);
};

/// The packet's first `length` bytes. With `restate`, the IP header then states that length
/// (and a UDP header its part of it), and every checksum that still fits is right again, as
/// if the sender had built the shorter packet so; without, the header still states the
/// whole packet.
Data cutPacket(const Data& packet, std::size_t length, bool restate);

} // namespace pemtrox::test
