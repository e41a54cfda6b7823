#include "backend_cpu/numeric_split_lanes.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <vector>

#include "backend_cpu/threshold_scan.hpp"
#include "support/panic.hpp"

namespace kestrune::backend_cpu {

namespace {

using core::HistogramBin;
using engine::SplitCandidate;
using engine::SplitSelectionOptions;

// One bin of four histograms, or their running sums after it, one histogram per lane.
struct BinLanes {
  FloatLanes grad;
  FloatLanes hess;
  FloatLanes grad_sq;
  CountLanes count;
};

// The four records {grad, hess, grad_sq, count} of one bin, turned into one vector per statistic.
BinLanes load_bins(const HistogramBin* const bins[4], std::size_t b) {
  static_assert(sizeof(HistogramBin) == sizeof(FloatLanes));
  FloatLanes r0, r1, r2, r3;
  std::memcpy(&r0, bins[0] + b, sizeof r0);
  std::memcpy(&r1, bins[1] + b, sizeof r1);
  std::memcpy(&r2, bins[2] + b, sizeof r2);
  std::memcpy(&r3, bins[3] + b, sizeof r3);
  const FloatLanes t0 = __builtin_shufflevector(r0, r1, 0, 4, 1, 5);  // g0 g1 h0 h1
  const FloatLanes t1 = __builtin_shufflevector(r0, r1, 2, 6, 3, 7);  // s0 s1 c0 c1
  const FloatLanes t2 = __builtin_shufflevector(r2, r3, 0, 4, 1, 5);  // g2 g3 h2 h3
  const FloatLanes t3 = __builtin_shufflevector(r2, r3, 2, 6, 3, 7);  // s2 s3 c2 c3
  return {__builtin_shufflevector(t0, t2, 0, 1, 4, 5), __builtin_shufflevector(t0, t2, 2, 3, 6, 7),
          __builtin_shufflevector(t1, t3, 0, 1, 4, 5),
          std::bit_cast<CountLanes>(__builtin_shufflevector(t1, t3, 2, 3, 6, 7))};
}

HistogramBin lane_of(const BinLanes& lanes, std::size_t i) {
  return {lanes.grad[i], lanes.hess[i], lanes.grad_sq[i], lanes.count[i]};
}

// static_cast<float> of each count, correctly rounded as the scalar conversion is.
FloatLanes to_float(CountLanes count) { return __builtin_convertvector(count, FloatLanes); }

// The same for counts below 2^31: the signed conversion, one instruction on every x86-64.
FloatLanes small_to_float(CountLanes count) {
  return __builtin_convertvector(std::bit_cast<MaskLanes>(count), FloatLanes);
}

// The running sums after one bin, with their counts as float32 for the gains.
struct PrefixLanes {
  BinLanes sums;
  FloatLanes count;
};

// Scans of up to this many thresholds (every histogram of 8-bit bins) keep their prefix sums on
// the stack, 21 KiB; longer ones allocate theirs.
constexpr std::size_t kStackThresholds = 256;

// Whether a bin holds no row and exact zero sums (of either sign) in all four lanes.
bool empty_in_every_lane(const BinLanes& bin) {
  const CountLanes sums = (std::bit_cast<CountLanes>(bin.grad) | std::bit_cast<CountLanes>(bin.hess)) & 0x7FFFFFFFu;
  using Halves = std::uint64_t __attribute__((vector_size(sizeof(CountLanes))));
  const Halves any = std::bit_cast<Halves>(bin.count | sums);
  return (any[0] | any[1]) == 0;
}

// The first of the greatest gains above a start of 0 per lane, over one kind of candidate in
// ascending threshold order, and the prefix record it was scored from; a lane found a candidate
// when its gain is above 0.
struct BestLanes {
  FloatLanes gain = {};
  MaskLanes record = {};

  void offer(const GainLanes& candidates, MaskLanes refused, MaskLanes record_lanes) {
    // Not refused and strictly greater (so never NaN).
    const MaskLanes better = (candidates.gain > gain) & ~(candidates.refused | refused);
    gain = better ? candidates.gain : gain;
    record = better ? record_lanes : record;
  }
};

// What the gains of one lane scan start from: each lane's missing bin, the rest of its rows, and
// its parent term.
struct LaneTotals {
  BinLanes missing;
  BinLanes non_missing;
  FloatLanes missing_count;
  FloatLanes non_missing_count;
  FloatLanes parent_term_doubled;
};

// Both candidates of the thresholds of prefix records [begin, end) in every lane, in the scalar
// scan's expressions. At the scan's last threshold (Last), a lane whose prefix holds every
// non-missing row skips both.
template <bool L1, bool Magnitude, bool MissingRight, bool Last>
void score_thresholds(const PrefixLanes* prefix, std::size_t begin, std::size_t end, const LaneTotals& s,
                      const FastScanConstants& k, BestLanes& missing_left, BestLanes& missing_right) {
  const BinLanes& miss = s.missing;
  const BinLanes& rest = s.non_missing;
  MaskLanes record = MaskLanes{} + static_cast<std::int32_t>(begin);
  for (std::size_t t = begin; t < end; ++t, record += 1) {
    const BinLanes& p = prefix[t].sums;
    const FloatLanes count = prefix[t].count;
    const MaskLanes skipped = Last ? MaskLanes(p.count == rest.count) : MaskLanes{};
    if constexpr (!MissingRight) {
      // Every missing bin is empty: adding it to the left child changes at most a zero's sign.
      missing_left.offer(fast_gain_lanes<L1, Magnitude>(p.grad, p.hess, count, rest.grad - p.grad, rest.hess - p.hess,
                                                        s.non_missing_count - count, k, s.parent_term_doubled),
                         skipped, record);
    } else {
      missing_left.offer(
          fast_gain_lanes<L1, Magnitude>(miss.grad + p.grad, miss.hess + p.hess, count + s.missing_count,
                                         rest.grad - p.grad, rest.hess - p.hess, s.non_missing_count - count, k,
                                         s.parent_term_doubled),
          skipped, record);
      missing_right.offer(fast_gain_lanes<L1, Magnitude>(p.grad, p.hess, count, miss.grad + (rest.grad - p.grad),
                                                         miss.hess + (rest.hess - p.hess),
                                                         (s.non_missing_count - count) + s.missing_count, k,
                                                         s.parent_term_doubled),
                          skipped, record);
    }
  }
}

// Every record; the last one holds the scan's last threshold when last_is_last.
template <bool L1, bool Magnitude, bool MissingRight>
void score_all_thresholds(const PrefixLanes* prefix, std::size_t records, bool last_is_last, const LaneTotals& s,
                          const FastScanConstants& k, BestLanes& missing_left, BestLanes& missing_right) {
  score_thresholds<L1, Magnitude, MissingRight, false>(prefix, 0, records - 1, s, k, missing_left, missing_right);
  if (last_is_last) {
    score_thresholds<L1, Magnitude, MissingRight, true>(prefix, records - 1, records, s, k, missing_left,
                                                        missing_right);
  } else {
    score_thresholds<L1, Magnitude, MissingRight, false>(prefix, records - 1, records, s, k, missing_left,
                                                         missing_right);
  }
}

template <bool L1, bool Magnitude>
void score_all_thresholds(const PrefixLanes* prefix, std::size_t records, bool last_is_last, const LaneTotals& s,
                          const FastScanConstants& k, bool missing_right_scored, BestLanes& missing_left,
                          BestLanes& missing_right) {
  if (missing_right_scored) {
    score_all_thresholds<L1, Magnitude, true>(prefix, records, last_is_last, s, k, missing_left, missing_right);
  } else {
    score_all_thresholds<L1, Magnitude, false>(prefix, records, last_is_last, s, k, missing_left, missing_right);
  }
}

// Up to four histograms of one bin count: one pass over the bins for every lane's prefix sums and
// totals, then one over the thresholds for the gains.
void scan_lanes(std::span<const core::FeatureHistogram* const> histograms, std::uint32_t node_id,
                const SplitSelectionOptions& options, std::span<std::optional<SplitCandidate>> results) {
  const std::size_t n = histograms.front()->bins.size();
  const std::size_t m = options.missing_bin;
  const std::size_t limit = std::min(m, n);
  // The scalar scan's exits that hold for every lane alike.
  if (n < 2 || limit == 0) return;
  // Lanes past the histograms repeat the first one; nothing is reported for them.
  const HistogramBin* bins[4];
  for (std::size_t i = 0; i < 4; ++i) {
    const core::FeatureHistogram& histogram = *histograms[i < histograms.size() ? i : 0];
    support::invariant(histogram.bins.size() == n, "lane scan histograms differ in bin count");
    bins[i] = histogram.bins.data();
  }

  // Pass 1: running sums from 0 in bin order, as prepare_scan's totals and the scan's prefixes
  // both take them (the same float additions, so the prefix at the last bin is the total).
  // A bin empty in every lane leaves every prefix as it was, up to a zero's sign (which never
  // reaches a gain or a refusal): its threshold scores the bits of the one before, which comes
  // first and keeps the tie, so it gets no record. Threshold 0 has none before it.
  PrefixLanes stack_prefix[kStackThresholds];
  std::uint32_t stack_thresholds[kStackThresholds];
  const bool long_scan = limit > kStackThresholds;
  std::vector<PrefixLanes> heap_prefix(long_scan ? limit : 0);
  std::vector<std::uint32_t> heap_thresholds(long_scan ? limit : 0);
  PrefixLanes* const prefix = long_scan ? heap_prefix.data() : stack_prefix;
  std::uint32_t* const thresholds = long_scan ? heap_thresholds.data() : stack_thresholds;
  BinLanes total = {};
  const auto add_to_total = [&](const BinLanes& bin) {
    total.grad += bin.grad;
    total.hess += bin.hess;
    total.grad_sq += bin.grad_sq;
    total.count += bin.count;
  };
  CountLanes any_count = {};
  std::size_t records = 0;
  for (std::size_t b = 0; b < limit; ++b) {
    const BinLanes bin = load_bins(bins, b);
    add_to_total(bin);
    any_count |= total.count;
    prefix[records] = {total, small_to_float(total.count)};
    thresholds[records] = static_cast<std::uint32_t>(b);
    records += b == 0 || !empty_in_every_lane(bin);
  }
  for (std::size_t b = limit; b < n; ++b) add_to_total(load_bins(bins, b));
  // A prefix count of 2^31 or more: convert them all again as unsigned.
  if (((any_count[0] | any_count[1] | any_count[2] | any_count[3]) >> 31) != 0) {
    for (std::size_t r = 0; r < records; ++r) prefix[r].count = to_float(prefix[r].sums.count);
  }

  const FastScanConstants k = FastScanConstants::of(options);
  LaneTotals s;
  s.missing = m < n ? load_bins(bins, m) : BinLanes{};
  s.non_missing.grad = total.grad - s.missing.grad;
  s.non_missing.hess = total.hess - s.missing.hess;
  s.non_missing.grad_sq = total.grad_sq - s.missing.grad_sq;
  s.non_missing.count = std::bit_cast<CountLanes>(MaskLanes(total.count > s.missing.count)) &
                        (total.count - s.missing.count);
  s.missing_count = to_float(s.missing.count);
  s.non_missing_count = to_float(s.non_missing.count);
  bool all_missing_empty = true;
  for (std::size_t j = 0; j < 4; ++j) {
    s.parent_term_doubled[j] = fast_parent_term_doubled(total.grad[j], total.hess[j], k);
    all_missing_empty = all_missing_empty && s.missing.count[j] == 0 && s.missing.grad[j] == 0.0f &&
                        s.missing.hess[j] == 0.0f;
  }

  // Pass 2: the gains. A lane whose missing bin is empty (count 0, sums exactly 0) scores each
  // missing-right candidate with the bits of its threshold's missing-left one (adding a zero
  // changes at most a zero's sign, which never reaches a gain or a refusal), so its best
  // missing-right gain ties its best missing-left gain and loses to it, as the scalar scan, which
  // skips them, decides. Scoring them costs time only: they are skipped when every lane's missing
  // bin is empty.
  BestLanes missing_left;
  BestLanes missing_right;
  const bool right = !all_missing_empty;
  const bool last = thresholds[records - 1] + 1 == limit;
  with_gain_flags(k, [&]<bool L1, bool Magnitude>() {
    score_all_thresholds<L1, Magnitude>(prefix, records, last, s, k, right, missing_left, missing_right);
  });

  for (std::size_t i = 0; i < histograms.size(); ++i) {
    // prepare_scan's exit for a lane (a NaN total passes, as there).
    if (total.hess[i] <= options.min_child_hess) continue;
    const float left_gain = missing_left.gain[i];
    const float right_gain = missing_right.gain[i];
    const bool default_left = !(right_gain > left_gain);  // as the scalar scan decides
    const float gain = default_left ? left_gain : right_gain;
    if (!(gain > 0.0f)) continue;
    const std::size_t record =
        static_cast<std::size_t>(default_left ? missing_left.record[i] : missing_right.record[i]);
    const ScanSetup setup{lane_of(total, i), lane_of(s.missing, i), lane_of(s.non_missing, i), limit};
    results[i] = fast_scan_candidate(node_id, histograms[i]->feature_index, gain, thresholds[record], default_left,
                                     setup, lane_of(prefix[record].sums, i));
  }
}

}  // namespace

void best_numeric_splits_fast(std::span<const core::FeatureHistogram* const> histograms, std::uint32_t node_id,
                              const SplitSelectionOptions& options, std::span<std::optional<SplitCandidate>> results) {
  support::invariant(results.size() == histograms.size() && histograms.size() <= kSplitLaneWidth,
                     "lane scan takes at most four histograms, one result each");
  for (std::optional<SplitCandidate>& result : results) result.reset();
  if (!histograms.empty()) scan_lanes(histograms, node_id, options, results);
}

}  // namespace kestrune::backend_cpu
