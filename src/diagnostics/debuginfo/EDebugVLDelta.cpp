#include "diagnostics/debuginfo/EDebugVLDelta.h"

#include <stdexcept>

namespace zelvic::diag {

namespace {

// Old data keeps the line field of the 4-byte form as a signed word.
std::int64_t LineField4(std::uint32_t field, std::uint16_t version) {
  if (IsOldDebugVLVersion(version)) return static_cast<std::int16_t>(field) + 1;
  return field == 0xFFFF ? 0 : std::int64_t{field} + 1;
}

std::int64_t OldEscapeField(std::uint16_t v) { return v == 0xFFFF ? 0 : std::int64_t{v} + 1; }

}  // namespace

TDebugVLDelta ReadDebugVLDelta(TByteReader& r, std::uint16_t version) {
  TDebugVLDelta d;
  const std::uint8_t f = r.U8();
  if ((f & 1) == 0) {
    d.DA = ((f >> 1) & 0x1F) + 1;
    d.DL = ((f >> 6) & 3) + 1;
    return d;
  }
  if ((f & 2) == 0) {
    d.NewRoutine = true;
    d.DA = ((f >> 2) & 7) + 1;
    d.DL = ((f >> 5) & 7) + 1;
    return d;
  }
  d.NewRoutine = (f & 4) != 0;
  if ((f & 8) == 0) {
    const std::uint16_t w = static_cast<std::uint16_t>(f | r.U8() << 8);
    d.DA = ((w >> 4) & 0x7F) + 1;
    d.DL = ((w >> 11) & 0x1F) + 1;
    return d;
  }
  const std::uint32_t e = f | std::uint32_t{r.U8()} << 8 | std::uint32_t{r.U16()} << 16;
  if (DebugVLHasEscape(version) && (e & ~4u) == kDebugVLEscape) {
    if (IsOldDebugVLVersion(version)) {
      d.DL = OldEscapeField(r.U16());
      d.DA = OldEscapeField(r.U16());
    } else {
      d.DL = std::int64_t{r.I32()} + 1;
      d.DA = std::int64_t{r.I32()} + 1;
    }
    return d;
  }
  const std::uint32_t fa = e >> 20, fl = (e >> 4) & 0xFFFF;
  d.DA = fa == 0xFFF ? 0 : std::int64_t{fa} + 1;
  d.DL = LineField4(fl, version);
  return d;
}

namespace {

enum class TDeltaForm { One, OneRoutine, Two, Four, Escape };

bool FitsFour(const TDebugVLDelta& d, std::uint16_t version) {
  if (d.DA < 0 || d.DA > 0xFFF) return false;
  if (IsOldDebugVLVersion(version)) {
    if (d.DL < -32767 || d.DL > 32768) return false;
  } else if (d.DL < 0 || d.DL > 0xFFFF) {
    return false;
  }
  if (!DebugVLHasEscape(version)) return true;
  // The escape word itself is not available as a 4-byte record.
  const std::uint32_t fa = d.DA == 0 ? 0xFFF : static_cast<std::uint32_t>(d.DA - 1);
  const std::uint32_t fl = static_cast<std::uint32_t>(d.DL - 1) & 0xFFFF;
  return !(fa == 0xFFE && fl == 0xFFFE);
}

TDeltaForm ChooseForm(const TDebugVLDelta& d, std::uint16_t version) {
  if (!d.NewRoutine && d.DA >= 1 && d.DA <= 32 && d.DL >= 1 && d.DL <= 4) return TDeltaForm::One;
  if (d.NewRoutine && d.DA >= 1 && d.DA <= 8 && d.DL >= 1 && d.DL <= 8) return TDeltaForm::OneRoutine;
  if (d.DA >= 1 && d.DA <= 128 && d.DL >= 1 && d.DL <= 32) return TDeltaForm::Two;
  if (FitsFour(d, version)) return TDeltaForm::Four;
  if (!DebugVLHasEscape(version)) throw std::out_of_range("delta does not fit the records of this version");
  if (IsOldDebugVLVersion(version) && (d.DA < 0 || d.DA > 0xFFFF || d.DL < 0 || d.DL > 0xFFFF)) {
    throw std::out_of_range("delta does not fit the records of this version");
  }
  return TDeltaForm::Escape;
}

}  // namespace

std::size_t DebugVLDeltaSize(const TDebugVLDelta& d, std::uint16_t version) {
  switch (ChooseForm(d, version)) {
    case TDeltaForm::One:
    case TDeltaForm::OneRoutine: return 1;
    case TDeltaForm::Two: return 2;
    case TDeltaForm::Four: return 4;
    case TDeltaForm::Escape: return IsOldDebugVLVersion(version) ? 8 : 12;
  }
  return 0;
}

void WriteDebugVLDelta(std::vector<std::uint8_t>& out, const TDebugVLDelta& d, std::uint16_t version) {
  const std::uint32_t routine = d.NewRoutine ? 4u : 0u;
  const auto da = static_cast<std::uint32_t>(d.DA - 1), dl = static_cast<std::uint32_t>(d.DL - 1);
  switch (ChooseForm(d, version)) {
    case TDeltaForm::One:
      out.push_back(static_cast<std::uint8_t>(da << 1 | dl << 6));
      return;
    case TDeltaForm::OneRoutine:
      out.push_back(static_cast<std::uint8_t>(1 | da << 2 | dl << 5));
      return;
    case TDeltaForm::Two:
      PutDebugVLU16(out, 3 | routine | da << 4 | dl << 11);
      return;
    case TDeltaForm::Four: {
      const std::uint32_t fa = d.DA == 0 ? 0xFFF : da;
      const std::uint32_t fl = d.DL == 0 ? 0xFFFF : dl & 0xFFFF;
      PutDebugVLU32(out, 0xB | routine | fl << 4 | fa << 20);
      return;
    }
    case TDeltaForm::Escape:
      PutDebugVLU32(out, kDebugVLEscape | routine);
      if (IsOldDebugVLVersion(version)) {
        PutDebugVLU16(out, d.DL == 0 ? 0xFFFF : dl);
        PutDebugVLU16(out, d.DA == 0 ? 0xFFFF : da);
      } else {
        PutDebugVLU32(out, dl);
        PutDebugVLU32(out, da);
      }
      return;
  }
}

}  // namespace zelvic::diag
