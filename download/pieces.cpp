#include "download/pieces.h"

#include <algorithm>

int ClaimablePiece(const std::vector<Piece>& pieces) {
  bool allDone = !pieces.empty();
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (pieces[i].state == PieceState::Free) return static_cast<int>(i);
    allDone = allDone && pieces[i].state == PieceState::Done;
  }
  return allDone ? 0 : -1;
}

std::uint64_t TakerShare(std::uint64_t left, std::uint64_t cost, std::vector<std::uint64_t> others) {
  // All end together at T = (left + what the joiners have left + cost) / n.
  std::sort(others.begin(), others.end());
  std::uint64_t n = 2, sum = 0;
  for (std::uint64_t r : others) {
    const std::uint64_t t = (left + sum + r + cost) / (n + 1);
    if (r >= t || t < cost + kMinPieceBytes) break;
    ++n;
    sum += r;
  }
  const std::uint64_t t = (left + sum + cost) / n;
  return std::max(t > cost ? t - cost : 0, left / n / 2);
}

std::uint64_t SplitPoint(const Piece& p, std::uint64_t ahead, std::uint64_t cost,
                         const std::vector<std::uint64_t>& others) {
  if (ahead >= p.remaining()) return 0;
  const std::uint64_t from = p.start + p.have + ahead, left = p.end - from;
  if (left < 2 * kMinPieceBytes) return 0;
  const std::uint64_t at = (p.end - TakerShare(left, cost, others)) / kPieceAlign * kPieceAlign;
  if (at <= from || p.end - at < kMinPieceBytes) return 0;
  return at;
}

std::uint64_t LeftOf(const Piece& p) {
  const std::uint64_t ahead = AheadOf(p);
  return ahead < p.remaining() ? p.remaining() - ahead : 0;
}

std::uint64_t AheadOf(const Piece& p) {
  if (!p.bounds) return 0;
  const std::uint64_t at = p.bounds->at.load(), written = p.start + p.have;
  return (at > written ? at - written : 0) + kReadCallBytes;
}

std::uint64_t GrantBytes(Piece& p, std::uint64_t got) {
  const std::uint64_t n = std::min(got, p.remaining());
  p.have += n;
  return n;
}

std::uint64_t HaveOf(const std::vector<Piece>& pieces) {
  std::uint64_t sum = 0;
  for (const Piece& p : pieces) sum += p.have;
  return sum;
}

std::vector<Piece> PiecesFromDisk(std::uint64_t size, std::uint64_t fileLength, std::vector<PieceOnDisk> parts) {
  std::sort(parts.begin(), parts.end(), [](const PieceOnDisk& a, const PieceOnDisk& b) { return a.start < b.start; });
  std::vector<Piece> out;
  out.push_back({0, size, fileLength, PieceState::Free, -1});
  for (const PieceOnDisk& d : parts) {
    if (d.start == 0 || d.start >= size || d.start == out.back().start) continue;
    out.push_back({d.start, size, d.length, PieceState::Free, -1});
  }
  for (size_t i = 0; i < out.size(); ++i) {
    Piece& p = out[i];
    if (i + 1 < out.size()) p.end = out[i + 1].start;
    p.have = std::min(p.have, p.end - p.start);
    if (p.have == p.end - p.start) p.state = PieceState::Done;
  }
  return out;
}

std::wstring PieceName(const std::wstring& name, std::uint64_t start) {
  return name + L"." + std::to_wstring(start) + L".piece";
}

bool ParsePieceName(const std::wstring& pieceName, const std::wstring& name, std::uint64_t* start) {
  static const std::wstring kTail = L".piece";
  if (pieceName.size() <= name.size() + 1 + kTail.size() || pieceName.compare(0, name.size(), name) != 0 ||
      pieceName[name.size()] != L'.' || pieceName.compare(pieceName.size() - kTail.size(), kTail.size(), kTail) != 0)
    return false;
  const std::wstring digits = pieceName.substr(name.size() + 1, pieceName.size() - name.size() - 1 - kTail.size());
  if (digits.empty() || digits.size() > 19 || (digits.size() > 1 && digits[0] == L'0')) return false;
  std::uint64_t v = 0;
  for (wchar_t c : digits) {
    if (c < L'0' || c > L'9') return false;
    v = v * 10 + static_cast<std::uint64_t>(c - L'0');
  }
  *start = v;
  return true;
}

std::vector<int> ConnectionPlan(int mirrors, std::uint32_t perMirror, std::uint32_t total) {
  if (mirrors <= 0) return {};
  const unsigned per =
      perMirror == 0 ? kMaxConnectionsPerMirror : std::min<unsigned>(perMirror, kMaxConnectionsPerMirror);
  unsigned all = total == 0 ? kMaxTotalConnections : std::min<unsigned>(total, kMaxTotalConnections);
  std::vector<int> plan(static_cast<size_t>(mirrors), 0);
  for (unsigned round = 0; round < per; ++round)
    for (int m = 0; m < mirrors && all > 0; ++m, --all) ++plan[m];
  if (plan[0] == 0) plan[0] = 1;
  return plan;
}
