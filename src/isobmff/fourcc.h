// The four-character codes of the boxes this library reads or writes
// (ISO/IEC 14496-12, 14496-14, 14496-15), as 32-bit values whose bytes are
// their characters.
#pragma once

#include <cstdint>
#include <string>

namespace morvex {

constexpr uint32_t fourcc_value(const char (&s)[5]) {
    return (uint32_t(uint8_t(s[0])) << 24) | (uint32_t(uint8_t(s[1])) << 16) | (uint32_t(uint8_t(s[2])) << 8) |
           uint32_t(uint8_t(s[3]));
}

// The type as its four characters between double quotes, as in "moov".
inline std::string quoted_fourcc(uint32_t type) {
    std::string s = "\"";
    for (int shift = 24; shift >= 0; shift -= 8) s += char((type >> shift) & 0xFF);
    return s + "\"";
}

namespace box {
inline constexpr uint32_t ftyp = fourcc_value("ftyp"), moov = fourcc_value("moov"), mvhd = fourcc_value("mvhd"),
                          trak = fourcc_value("trak"), tkhd = fourcc_value("tkhd"), tref = fourcc_value("tref"),
                          edts = fourcc_value("edts"), elst = fourcc_value("elst"), mdia = fourcc_value("mdia"),
                          mdhd = fourcc_value("mdhd"), hdlr = fourcc_value("hdlr"), minf = fourcc_value("minf"),
                          stbl = fourcc_value("stbl"), stsd = fourcc_value("stsd"), stts = fourcc_value("stts"),
                          ctts = fourcc_value("ctts"), stss = fourcc_value("stss"), stsc = fourcc_value("stsc"),
                          stsz = fourcc_value("stsz"), stz2 = fourcc_value("stz2"), stco = fourcc_value("stco"),
                          co64 = fourcc_value("co64"), mvex = fourcc_value("mvex"), trex = fourcc_value("trex"),
                          moof = fourcc_value("moof"), mfhd = fourcc_value("mfhd"), traf = fourcc_value("traf"),
                          tfhd = fourcc_value("tfhd"), tfdt = fourcc_value("tfdt"), trun = fourcc_value("trun"),
                          mdat = fourcc_value("mdat"), avcC = fourcc_value("avcC"), avc1 = fourcc_value("avc1"),
                          avc3 = fourcc_value("avc3"), hvcC = fourcc_value("hvcC"), mp4a = fourcc_value("mp4a"),
                          esds = fourcc_value("esds"),
                          vide = fourcc_value("vide"), soun = fourcc_value("soun"), free = fourcc_value("free"),
                          mfra = fourcc_value("mfra"), sidx = fourcc_value("sidx"), styp = fourcc_value("styp");
// Protected content (ISO/IEC 14496-12 8.12, ISO/IEC 23001-7).
inline constexpr uint32_t encv = fourcc_value("encv"), enca = fourcc_value("enca"), enct = fourcc_value("enct"),
                          encs = fourcc_value("encs"), sinf = fourcc_value("sinf"), schm = fourcc_value("schm"),
                          schi = fourcc_value("schi"), tenc = fourcc_value("tenc"), saiz = fourcc_value("saiz"),
                          saio = fourcc_value("saio"), senc = fourcc_value("senc"), sbgp = fourcc_value("sbgp"),
                          sgpd = fourcc_value("sgpd"), seig = fourcc_value("seig");
}  // namespace box

}  // namespace morvex
