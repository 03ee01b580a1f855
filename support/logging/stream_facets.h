#pragma once
// Code-conversion facets for the debug log file's stream: its characters are
// UTF-16 units, the file holds UTF-8 or UTF-16LE bytes. They derive from the
// standard wchar_t/char facet so that both libstdc++'s and MSVC's file
// streams use them; they keep no conversion state (every UTF-16 unit is
// converted on its own, surrogate pairs together when both are at hand).
//
// Construct with new and hand to a std::locale, which owns the facet.

#include <cstddef>
#include <cwchar>
#include <locale>

using StreamCodeCvtFacet = std::codecvt<wchar_t, char, std::mbstate_t>;

// The fixed-width UTF-16 forms: two bytes per unit.
class UTF16StreamCodeCvtFacetBase : public StreamCodeCvtFacet {
 public:
  explicit UTF16StreamCodeCvtFacetBase(std::size_t references = 0) : StreamCodeCvtFacet(references) {}

 protected:
  bool do_always_noconv() const noexcept override { return false; }
  int do_max_length() const noexcept override { return 2; }
  int do_encoding() const noexcept override { return 2; }
  int do_length(state_type& state, const extern_type* from, const extern_type* fromEnd,
                std::size_t maximum) const override;
  result do_in(state_type& state, const extern_type* from, const extern_type* fromEnd,
               const extern_type*& fromNext, intern_type* to, intern_type* toEnd,
               intern_type*& toNext) const override = 0;
  result do_out(state_type& state, const intern_type* from, const intern_type* fromEnd,
                const intern_type*& fromNext, extern_type* to, extern_type* toEnd,
                extern_type*& toNext) const override = 0;
};

class UTF16LEStreamCodeCvtFacet : public UTF16StreamCodeCvtFacetBase {
 public:
  explicit UTF16LEStreamCodeCvtFacet(std::size_t references = 0) : UTF16StreamCodeCvtFacetBase(references) {}

 protected:
  result do_in(state_type& state, const extern_type* from, const extern_type* fromEnd,
               const extern_type*& fromNext, intern_type* to, intern_type* toEnd,
               intern_type*& toNext) const override;
  result do_out(state_type& state, const intern_type* from, const intern_type* fromEnd,
                const intern_type*& fromNext, extern_type* to, extern_type* toEnd,
                extern_type*& toNext) const override;
};

// UTF-8, lenient: unpaired surrogates are written and read back as
// three-byte sequences; other malformed input is an error.
class UTF8StreamCodeCvtFacet : public StreamCodeCvtFacet {
 public:
  explicit UTF8StreamCodeCvtFacet(std::size_t references = 0) : StreamCodeCvtFacet(references) {}

 protected:
  bool do_always_noconv() const noexcept override { return false; }
  int do_max_length() const noexcept override { return 4; }
  int do_encoding() const noexcept override { return 0; }
  int do_length(state_type& state, const extern_type* from, const extern_type* fromEnd,
                std::size_t maximum) const override;
  result do_in(state_type& state, const extern_type* from, const extern_type* fromEnd,
               const extern_type*& fromNext, intern_type* to, intern_type* toEnd,
               intern_type*& toNext) const override;
  result do_out(state_type& state, const intern_type* from, const intern_type* fromEnd,
                const intern_type*& fromNext, extern_type* to, extern_type* toEnd,
                extern_type*& toNext) const override;
};

// One byte per unit (ISO 8859-1). Used for ASCII log files, whose units are
// all below 0x80 when written, so that reading a file's first bytes gives
// the same units with every standard library.
class ByteStreamCodeCvtFacet : public StreamCodeCvtFacet {
 public:
  explicit ByteStreamCodeCvtFacet(std::size_t references = 0) : StreamCodeCvtFacet(references) {}

 protected:
  bool do_always_noconv() const noexcept override { return false; }
  int do_max_length() const noexcept override { return 1; }
  int do_encoding() const noexcept override { return 1; }
  int do_length(state_type& state, const extern_type* from, const extern_type* fromEnd,
                std::size_t maximum) const override;
  result do_in(state_type& state, const extern_type* from, const extern_type* fromEnd,
               const extern_type*& fromNext, intern_type* to, intern_type* toEnd,
               intern_type*& toNext) const override;
  result do_out(state_type& state, const intern_type* from, const intern_type* fromEnd,
                const intern_type*& fromNext, extern_type* to, extern_type* toEnd,
                extern_type*& toNext) const override;
};
