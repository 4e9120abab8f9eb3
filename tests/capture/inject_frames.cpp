// Sends N crafted Ethernet frames of a given length out of one device, at layer 2. Used by the
// end-to-end capture test from inside a network namespace it created.
//
//   zul_inject_frames DEVICE DST-MAC SRC-MAC ETHERTYPE SRC-IP DST-IP LENGTH COUNT
//
// ETHERTYPE is hexadecimal (0x0800: IPv4 with a deliberately wrong header checksum, so the
// receiving stack drops it silently; 0x86dd: IPv6 without a next header, SRC-IP and DST-IP then
// IPv6 addresses). LENGTH is the whole frame, 14..1514; COUNT at most 1000000.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "FrameKit.h"

int main(int argc, char** argv) {
  if (argc != 9) {
    std::fprintf(stderr, "usage: %s DEVICE DST-MAC SRC-MAC ETHERTYPE SRC-IP DST-IP LENGTH COUNT\n",
                 argv[0]);
    return 2;
  }
  try {
    zultest::TFrameDesc desc;
    desc.Dst = zultest::ParseMac(argv[2]);
    desc.Src = zultest::ParseMac(argv[3]);
    desc.EtherType = static_cast<uint16_t>(std::stoul(argv[4], nullptr, 16));
    if (desc.EtherType == 0x86DD) {
      desc.SrcIp6 = zultest::Ip6(argv[5]);
      desc.DstIp6 = zultest::Ip6(argv[6]);
    } else {
      desc.SrcIp = zultest::Ip(argv[5]);
      desc.DstIp = zultest::Ip(argv[6]);
    }
    const unsigned long length = std::stoul(argv[7]);
    const unsigned long count = std::stoul(argv[8]);
    if (length < 14 || length > 1514 || count > 1000000) {
      std::fprintf(stderr, "LENGTH must be 14..1514 and COUNT at most 1000000\n");
      return 2;
    }
    desc.Length = static_cast<uint32_t>(length);
    // The socket is opened in the namespace the program runs in.
    zultest::TRawSender sender(argv[1]);
    const unsigned long sent =
        static_cast<unsigned long>(sender.Send(zultest::BuildFrame(desc), static_cast<int>(count)));
    std::printf("%lu\n", sent);
    return sent == count ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zul_inject_frames: %s\n", e.what());
    return 2;
  }
}
