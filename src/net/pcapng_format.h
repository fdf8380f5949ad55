#ifndef PCAPNG_FORMAT_H
#define PCAPNG_FORMAT_H

#include <cstdint>

// The numbers of the capture file format that the writer and the reader of captures share:
// pcapng block types, link types and option codes, and the TCP flags of the segments.
namespace capture::pcapng
{

constexpr uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr uint32_t kInterfaceDescription = 0x00000001;
constexpr uint32_t kEnhancedPacket = 0x00000006;
constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr uint16_t kLinkTypeIpv4 = 228;
constexpr uint16_t kOptEnd = 0;
constexpr uint16_t kOptUserApplication = 4; // in the section header
constexpr uint16_t kOptInterfaceName = 2;
constexpr uint16_t kOptTimeResolution = 9;

constexpr uint8_t kFin = 0x01;
constexpr uint8_t kSyn = 0x02;
constexpr uint8_t kPush = 0x08;
constexpr uint8_t kAck = 0x10;

} // namespace capture::pcapng

#endif // PCAPNG_FORMAT_H
