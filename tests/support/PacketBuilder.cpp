#include "tests/support/PacketBuilder.h"

#include <arpa/inet.h>

#include <algorithm>
#include <stdexcept>

namespace pemtrox::test {

namespace {

Data addressBytes(const std::string& text, int version) {
    Data bytes(version == 6 ? 16 : 4);
    if (inet_pton(version == 6 ? AF_INET6 : AF_INET, text.c_str(), bytes.data()) != 1)
        throw std::invalid_argument("bad address " + text);
    return bytes;
}

std::string addressText(const std::uint8_t* bytes, int version) {
    char text[INET6_ADDRSTRLEN];
    inet_ntop(version == 6 ? AF_INET6 : AF_INET, bytes, text, sizeof text);
    return text;
}

void put16(Data& data, std::size_t at, std::size_t value) {
    data[at] = static_cast<std::uint8_t>(value >> 8);
    data[at + 1] = static_cast<std::uint8_t>(value);
}
std::uint16_t get16(const Data& data, std::size_t at) {
    return static_cast<std::uint16_t>(data[at] << 8 | data[at + 1]);
}
std::uint32_t get32(const Data& data, std::size_t at) {
    return std::uint32_t{get16(data, at)} << 16 | get16(data, at + 2);
}

std::uint16_t checksum(const Data& data, std::uint32_t sum = 0) {
    for (std::size_t i = 0; i < data.size(); i += 2)
        sum += data[i] << 8 | (i + 1 < data.size() ? data[i + 1] : 0);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

} // namespace

Packet Packet::tcpSegment(const std::string& source, std::uint16_t sourcePort, const std::string& destination,
                          std::uint16_t destinationPort, std::uint8_t flags) {
    Packet p;
    p.version = source.find(':') == std::string::npos ? 4 : 6;
    p.source = source, p.destination = destination;
    p.protocol = tcp;
    p.sourcePort = sourcePort, p.destinationPort = destinationPort;
    p.flags = flags;
    if (flags & syn)
        p.mss = 1460;
    return p;
}

Packet Packet::udpDatagram(const std::string& source, std::uint16_t sourcePort,
                           const std::string& destination, std::uint16_t destinationPort, Data payload) {
    Packet p = tcpSegment(source, sourcePort, destination, destinationPort, 0);
    p.protocol = udp;
    p.payload = std::move(payload);
    return p;
}

Packet Packet::echoRequest(const std::string& source, const std::string& destination) {
    Packet p = tcpSegment(source, 0, destination, 0, 0);
    p.protocol = p.version == 6 ? icmp6 : icmp;
    p.icmpType = p.version == 6 ? 128 : 8;
    p.payload = {0x12, 0x34, 0x00, 0x01, 'p', 'i', 'n', 'g'};
    return p;
}

Data Packet::build() const {
    Data src = addressBytes(source, version), dst = addressBytes(destination, version);
    Data t; // the transport header and payload
    std::size_t checksumAt = 2;
    if (protocol == tcp) {
        t.assign(mss ? 24 : 20, 0);
        put16(t, 4, seq >> 16), put16(t, 6, seq & 0xFFFF), put16(t, 8, ackNumber >> 16);
        put16(t, 10, ackNumber & 0xFFFF), put16(t, 14, window);
        t[12] = static_cast<std::uint8_t>(t.size() / 4 << 4);
        t[13] = flags;
        if (mss)
            t[20] = 2, t[21] = 4, put16(t, 22, *mss);
        checksumAt = 16;
    } else if (protocol == udp) {
        t.assign(8, 0);
        put16(t, 4, 8 + payload.size());
        checksumAt = 6;
    } else {
        t = {icmpType, 0, 0, 0};
    }
    if (protocol == tcp || protocol == udp)
        put16(t, 0, sourcePort), put16(t, 2, destinationPort);
    t.insert(t.end(), payload.begin(), payload.end());
    // Everything but ICMPv4 sums a pseudo header of addresses, protocol and length.
    std::uint32_t pseudo = 0;
    if (protocol != icmp) {
        Data both = src;
        both.insert(both.end(), dst.begin(), dst.end());
        for (std::size_t i = 0; i < both.size(); i += 2)
            pseudo += get16(both, i);
        pseudo += protocol + static_cast<std::uint32_t>(t.size());
    }
    std::uint16_t sum = checksum(t, pseudo);
    put16(t, checksumAt, protocol == udp && sum == 0 ? 0xFFFF : sum);

    Data packet(version == 6 ? 40 : 20, 0);
    if (version == 6) {
        packet[0] = 0x60, packet[6] = protocol, packet[7] = 64;
        put16(packet, 4, t.size());
        std::copy(src.begin(), src.end(), packet.begin() + 8);
        std::copy(dst.begin(), dst.end(), packet.begin() + 24);
    } else {
        packet[0] = 0x45, packet[8] = 64, packet[9] = protocol;
        put16(packet, 2, 20 + t.size());
        put16(packet, 6, fragment);
        std::copy(src.begin(), src.end(), packet.begin() + 12);
        std::copy(dst.begin(), dst.end(), packet.begin() + 16);
        put16(packet, 10, checksum(packet));
    }
    packet.insert(packet.end(), t.begin(), t.end());
    return packet;
}

Data cutPacket(const Data& packet, std::size_t length, bool restate) {
    Data bytes(packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(std::min(length, packet.size())));
    int version = bytes.empty() ? 0 : bytes[0] >> 4;
    std::size_t header = version == 6 ? 40 : version == 4 ? (bytes[0] & 0x0Fu) * 4u : 0;
    if (!restate || header == 0 || bytes.size() < (version == 6 ? 40u : 20u))
        return bytes;
    std::uint8_t protocol = version == 6 ? bytes[6] : bytes[9];
    if (version == 6) {
        put16(bytes, 4, bytes.size() - 40);
    } else {
        put16(bytes, 2, bytes.size());
        put16(bytes, 10, 0);
        if (bytes.size() >= header)
            put16(bytes, 10,
                  checksum(Data(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(header))));
    }
    if (bytes.size() <= header)
        return bytes;
    Data t(bytes.begin() + static_cast<std::ptrdiff_t>(header), bytes.end());
    std::size_t checksumAt = protocol == Packet::tcp ? 16 : protocol == Packet::udp ? 6 : 2;
    if ((protocol != Packet::tcp && protocol != Packet::udp && protocol != Packet::icmp &&
         protocol != Packet::icmp6) ||
        t.size() < checksumAt + 2)
        return bytes;
    if (protocol == Packet::udp)
        put16(t, 4, t.size());
    put16(t, checksumAt, 0);
    std::uint32_t pseudo = 0;
    if (protocol != Packet::icmp) {
        std::size_t from = version == 6 ? 8 : 12, to = version == 6 ? 40 : 20;
        for (std::size_t i = from; i < to; i += 2)
            pseudo += get16(bytes, i);
        pseudo += protocol + static_cast<std::uint32_t>(t.size());
    }
    std::uint16_t sum = checksum(t, pseudo);
    put16(t, checksumAt, protocol == Packet::udp && sum == 0 ? 0xFFFF : sum);
    std::copy(t.begin(), t.end(), bytes.begin() + static_cast<std::ptrdiff_t>(header));
    return bytes;
}

std::optional<Packet> Packet::parse(const Data& bytes) {
    Packet p;
    p.version = bytes.empty() ? 0 : bytes[0] >> 4;
    std::size_t at = p.version == 6 ? 40 : 20;
    if ((p.version != 4 && p.version != 6) || bytes.size() < at + 4)
        return std::nullopt;
    int addressAt = p.version == 6 ? 8 : 12, addressSize = p.version == 6 ? 16 : 4;
    p.protocol = bytes[p.version == 6 ? 6 : 9];
    p.source = addressText(&bytes[addressAt], p.version);
    p.destination = addressText(&bytes[addressAt + addressSize], p.version);
    if (p.protocol == tcp || p.protocol == udp)
        p.sourcePort = get16(bytes, at), p.destinationPort = get16(bytes, at + 2);
    if (p.protocol == tcp && bytes.size() >= at + 20) {
        p.seq = get32(bytes, at + 4), p.ackNumber = get32(bytes, at + 8);
        p.flags = bytes[at + 13], p.window = get16(bytes, at + 14);
        std::size_t end = at + (bytes[at + 12] >> 4) * 4u;
        if (end >= at + 24 && bytes[at + 20] == 2)
            p.mss = get16(bytes, at + 22);
        at = end;
    } else {
        p.icmpType = bytes[at];
        at += p.protocol == udp ? 8 : 4;
    }
    p.payload.assign(bytes.begin() + static_cast<std::ptrdiff_t>(std::min(at, bytes.size())), bytes.end());
    return p;
}

} // namespace pemtrox::test
