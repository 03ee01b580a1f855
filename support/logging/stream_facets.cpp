#include "support/logging/stream_facets.h"

#include <algorithm>
#include <vector>

using result = StreamCodeCvtFacet::result;

namespace {

unsigned char Byte(char c) { return static_cast<unsigned char>(c); }

bool IsHighSurrogate(unsigned unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(unsigned unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Length of the sequence a lead byte starts; 0 for a byte that cannot lead.
int SequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead < 0xC2) return 0;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  if (lead <= 0xF4) return 4;
  return 0;
}

// Continuation bytes, with the tighter ranges of the second byte that rule
// out over-long forms and values above U+10FFFF. Encoded surrogates (after
// 0xED) pass, so that what the writer produced reads back.
bool ContinuationValid(const char* sequence, int length) {
  for (int i = 1; i < length; ++i) {
    if (Byte(sequence[i]) < 0x80 || Byte(sequence[i]) > 0xBF) return false;
  }
  if (length < 2) return true;
  const unsigned char lead = Byte(sequence[0]);
  const unsigned char second = Byte(sequence[1]);
  if (lead == 0xE0) return second >= 0xA0;
  if (lead == 0xF0) return second >= 0x90;
  if (lead == 0xF4) return second <= 0x8F;
  return true;
}

}  // namespace

int UTF16StreamCodeCvtFacetBase::do_length(state_type&, const extern_type* from, const extern_type* fromEnd,
                                           std::size_t maximum) const {
  return static_cast<int>(std::min(maximum, static_cast<std::size_t>(fromEnd - from) / 2));
}

result UTF16LEStreamCodeCvtFacet::do_in(state_type&, const extern_type* from, const extern_type* fromEnd,
                                        const extern_type*& fromNext, intern_type* to, intern_type* toEnd,
                                        intern_type*& toNext) const {
  const std::size_t count = std::min(static_cast<std::size_t>(fromEnd - from) / 2, static_cast<std::size_t>(toEnd - to));
  for (std::size_t i = 0; i < count; ++i, from += 2) {
    *to++ = static_cast<intern_type>(Byte(from[0]) | (Byte(from[1]) << 8));
  }
  fromNext = from;
  toNext = to;
  // A lone trailing byte needs its partner before it makes a unit.
  return count == 0 && fromEnd - from == 1 ? partial : ok;
}

result UTF16LEStreamCodeCvtFacet::do_out(state_type&, const intern_type* from, const intern_type* fromEnd,
                                         const intern_type*& fromNext, extern_type* to, extern_type* toEnd,
                                         extern_type*& toNext) const {
  const std::size_t count = std::min(static_cast<std::size_t>(fromEnd - from), static_cast<std::size_t>(toEnd - to) / 2);
  for (std::size_t i = 0; i < count; ++i, to += 2) {
    const unsigned unit = static_cast<unsigned>(*from++) & 0xFFFF;
    to[0] = static_cast<extern_type>(unit & 0xFF);
    to[1] = static_cast<extern_type>(unit >> 8);
  }
  fromNext = from;
  toNext = to;
  return ok;
}

result UTF8StreamCodeCvtFacet::do_in(state_type&, const extern_type* from, const extern_type* fromEnd,
                                     const extern_type*& fromNext, intern_type* to, intern_type* toEnd,
                                     intern_type*& toNext) const {
  result outcome = ok;
  while (from < fromEnd) {
    const int length = SequenceLength(Byte(*from));
    if (length == 0) {
      outcome = error;
      break;
    }
    if (fromEnd - from < length) {
      outcome = partial;
      break;
    }
    if (!ContinuationValid(from, length)) {
      outcome = error;
      break;
    }
    static const unsigned kLeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    unsigned value = Byte(from[0]) & kLeadMask[length];
    for (int i = 1; i < length; ++i) value = (value << 6) | (Byte(from[i]) & 0x3F);
    const std::ptrdiff_t units = value > 0xFFFF ? 2 : 1;
    if (toEnd - to < units) {
      outcome = partial;
      break;
    }
    if (units == 2) {
      value -= 0x10000;
      *to++ = static_cast<intern_type>(0xD800 + (value >> 10));
      *to++ = static_cast<intern_type>(0xDC00 + (value & 0x3FF));
    } else {
      *to++ = static_cast<intern_type>(value);
    }
    from += length;
  }
  fromNext = from;
  toNext = to;
  return outcome;
}

result UTF8StreamCodeCvtFacet::do_out(state_type&, const intern_type* from, const intern_type* fromEnd,
                                      const intern_type*& fromNext, extern_type* to, extern_type* toEnd,
                                      extern_type*& toNext) const {
  result outcome = ok;
  while (from < fromEnd) {
    unsigned value = static_cast<unsigned>(*from) & 0xFFFF;
    int units = 1;
    if (IsHighSurrogate(value) && fromEnd - from >= 2 && IsLowSurrogate(static_cast<unsigned>(from[1]) & 0xFFFF)) {
      value = 0x10000 + ((value - 0xD800) << 10) + ((static_cast<unsigned>(from[1]) & 0xFFFF) - 0xDC00);
      units = 2;
    }
    const int length = value < 0x80 ? 1 : value < 0x800 ? 2 : value < 0x10000 ? 3 : 4;
    if (toEnd - to < length) {
      outcome = partial;
      break;
    }
    static const unsigned kLeadMark[] = {0, 0x00, 0xC0, 0xE0, 0xF0};
    for (int i = length - 1; i > 0; --i) {
      to[i] = static_cast<extern_type>(0x80 | (value & 0x3F));
      value >>= 6;
    }
    to[0] = static_cast<extern_type>(kLeadMark[length] | value);
    to += length;
    from += units;
  }
  fromNext = from;
  toNext = to;
  return outcome;
}

int UTF8StreamCodeCvtFacet::do_length(state_type& state, const extern_type* from, const extern_type* fromEnd,
                                      std::size_t maximum) const {
  std::vector<intern_type> units(std::min(maximum, static_cast<std::size_t>(fromEnd - from)));
  state_type copy = state;
  const extern_type* fromNext = from;
  intern_type* toNext = units.data();
  if (do_in(copy, from, fromEnd, fromNext, units.data(), units.data() + units.size(), toNext) != ok) return 0;
  return static_cast<int>(toNext - units.data());
}

int ByteStreamCodeCvtFacet::do_length(state_type&, const extern_type* from, const extern_type* fromEnd,
                                      std::size_t maximum) const {
  return static_cast<int>(std::min(maximum, static_cast<std::size_t>(fromEnd - from)));
}

result ByteStreamCodeCvtFacet::do_in(state_type&, const extern_type* from, const extern_type* fromEnd,
                                     const extern_type*& fromNext, intern_type* to, intern_type* toEnd,
                                     intern_type*& toNext) const {
  while (from < fromEnd && to < toEnd) *to++ = static_cast<intern_type>(Byte(*from++));
  fromNext = from;
  toNext = to;
  return ok;
}

result ByteStreamCodeCvtFacet::do_out(state_type&, const intern_type* from, const intern_type* fromEnd,
                                      const intern_type*& fromNext, extern_type* to, extern_type* toEnd,
                                      extern_type*& toNext) const {
  while (from < fromEnd && to < toEnd) {
    const unsigned unit = static_cast<unsigned>(*from++) & 0xFFFF;
    *to++ = static_cast<extern_type>(unit < 0x100 ? unit : '?');
  }
  fromNext = from;
  toNext = to;
  return ok;
}
