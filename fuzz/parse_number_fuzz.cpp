// The text-to-number conversion on arbitrary text: it must never crash, and
// it must agree with a reference written the plain way (drop every blank,
// tab and line feed, take the longest prefix of the number grammar, convert
// it with the C library) on what it accepts, what it reads and whether the
// number was all the text held.

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "format/number_format.h"

namespace {

struct Reference {
  bool numeric = false;
  bool complete = false;
  double value = 0;
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

Reference ReadReference(std::string_view text) {
  std::string s;
  for (const char c : text)
    if (c != ' ' && c != '\t' && c != '\n') s += c;
  std::size_t at = 0;
  if (at < s.size() && (s[at] == '+' || s[at] == '-')) ++at;
  bool digits = false, point = false;
  for (; at < s.size(); ++at) {
    if (IsDigit(s[at])) digits = true;
    else if (s[at] == '.' && !point) point = true;
    else break;
  }
  Reference ref;
  if (!digits) {
    ref.complete = s.empty();
    return ref;
  }
  if (at < s.size() && (s[at] == 'e' || s[at] == 'E')) {
    std::size_t e = at + 1;
    if (e < s.size() && (s[e] == '+' || s[e] == '-')) ++e;
    if (e < s.size() && IsDigit(s[e])) {
      while (e < s.size() && IsDigit(s[e])) ++e;
      at = e;
    }
  }
  ref.numeric = true;
  ref.complete = at == s.size();
  // The harness never sets a locale, so strtod reads "." as C does.
  ref.value = std::strtod(s.substr(0, at).c_str(), nullptr);
  return ref;
}

[[noreturn]] void Finding(std::string_view text, const char* what, double got, double expected) {
  std::fprintf(stderr, "ParseNumber('%.*s'): %s: got %.17g, expected %.17g\n", static_cast<int>(text.size()),
               text.data(), what, got, expected);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const korvan::ParsedNumber parsed = korvan::ParseNumber(text);
  const Reference ref = ReadReference(text);
  if (parsed.numeric != ref.numeric) Finding(text, "numeric", parsed.numeric, ref.numeric);
  if (parsed.complete != ref.complete) Finding(text, "complete", parsed.complete, ref.complete);
  // Below the smallest normal double the conversion may give 0 where the C
  // library keeps a subnormal: no field or box value lives down there.
  const bool subnormal = ref.value != 0 && std::fabs(ref.value) < DBL_MIN;
  const bool same = std::bit_cast<std::uint64_t>(parsed.value) == std::bit_cast<std::uint64_t>(ref.value);
  if (!same && !(subnormal && parsed.value == 0)) Finding(text, "value", parsed.value, ref.value);
  return 0;
}
