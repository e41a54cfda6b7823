// Corrupted artifacts must make the loader fail with a PredictorError, or load into a model that
// scores (or fails with a PredictorError): never a crash, a hang, another exception or a huge
// allocation. Seeds cover every section the loader reads; mutations hit both the raw bytes and
// the payloads of an otherwise valid container.
#include <gtest/gtest.h>

#include <limits>

#include "core/artifact/categorical_state.hpp"
#include "core/artifact/container.hpp"
#include "predictor_test_support.hpp"

namespace kestrune {
namespace {

using namespace predictor_testing;

std::vector<Bytes> seed_artifacts() {
  std::mt19937_64 rng(77);
  ModelShape shape;
  shape.trees = 4;
  shape.max_splits = 6;
  shape.categorical_rate = 0.4;
  shape.linear_rate = 0.3;
  shape.dart = true;
  engine::TrainedModel single;
  single.feature_count = shape.feature_count;
  single.objective = "binary_crossentropy";
  single.stumps = random_stumps(rng, shape);
  single.native_categorical_features = {0, 2};
  single.feature_baseline = std::vector<float>(shape.feature_count, 0.5f);
  single.categorical_state = core::CategoricalStatePayloadV1{{1, 3}, 1, true};
  single = std::move(single).with_node_debug_stats_from_stumps();

  engine::MultiClassTrainedModel multi;
  multi.num_classes = 3;
  multi.feature_count = shape.feature_count;
  multi.objective = "multiclass";
  multi.class_baselines = {0.1f, 0.2f, 0.3f};
  shape.dart = false;
  for (int c = 0; c < 3; ++c) multi.class_stumps.push_back(random_stumps(rng, shape));

  engine::TrainedModel plain;
  plain.feature_count = 2;
  plain.stumps = {stump_at(0, 0, 0, 3, 1.0f, 2.0f), stump_at(0, 1, 1, 3, 3.0f, 4.0f), stump_at(1, 0, 1, 5, 5.0f, 6.0f)};
  const Bytes trees_only =
      artifact_with(2, {{core::ModelSectionKind::Trees, trees_payload(2, 0.0f, plain.stumps)}}, "poisson");
  return {single.to_artifact_bytes(), multi.to_artifact_bytes(), plain.to_artifact_bytes(), trees_only};
}

struct Outcomes {
  int loaded = 0;
  int refused = 0;
};

// Loads and, when that works, scores a few rows before and after a threshold conversion.
::testing::AssertionResult survives(const Bytes& bytes, Outcomes& outcomes) {
  try {
    predictor::Predictor p = predictor::Predictor::from_artifact_bytes(bytes);
    ++outcomes.loaded;
    const std::size_t features = p.feature_count();
    if (features > 64) return ::testing::AssertionSuccess();  // rows would be large; loading was the point
    std::vector<std::vector<float>> rows = {std::vector<float>(features, 0.0f), std::vector<float>(features, 3.0f),
                                            std::vector<float>(features, std::numeric_limits<float>::quiet_NaN()),
                                            std::vector<float>(features, 70000.0f)};
    for (int pass = 0; pass < 2; ++pass) {
      try {
        if (p.num_classes) {
          p.predict_batch_multiclass(rows);
        } else {
          p.predict_batch(rows);
          p.predict_batch_dense_bytes(to_le_bytes(flatten(rows)), rows.size(), features);
        }
      } catch (const predictor::PredictorError&) {
      }
      p.convert_bin_thresholds_to_float_prebinned();
    }
  } catch (const predictor::PredictorError&) {
    ++outcomes.refused;
  } catch (const std::exception& error) {
    return ::testing::AssertionFailure() << "unexpected exception: " << error.what();
  }
  return ::testing::AssertionSuccess();
}

void put_u32(Bytes& bytes, std::size_t offset, std::uint32_t value) {
  for (std::size_t k = 0; k < 4 && offset + k < bytes.size(); ++k) {
    bytes[offset + k] = static_cast<std::uint8_t>(value >> (8 * k));
  }
}

constexpr std::uint32_t kInteresting[] = {0, 1, 2, 3, 12, 16, 32, 255, 256, 0xFFFF, 0xFFFFF, 0x100000, 0x7FFFFFFF,
                                          0x80000000, 0xFFFFFFFE, 0xFFFFFFFF};

void mutate(Bytes& bytes, std::mt19937_64& rng) {
  if (bytes.empty()) return;
  switch (rng() % 5) {
    case 0:  // a few random bytes
      for (int k = 0, n = 1 + static_cast<int>(rng() % 4); k < n; ++k) bytes[rng() % bytes.size()] = static_cast<std::uint8_t>(rng());
      break;
    case 1:  // a field set to an extreme or boundary value
      put_u32(bytes, (rng() % bytes.size()) & ~std::size_t{3}, kInteresting[rng() % std::size(kInteresting)]);
      break;
    case 2:  // same, unaligned
      put_u32(bytes, rng() % bytes.size(), kInteresting[rng() % std::size(kInteresting)]);
      break;
    case 3:  // cut short
      bytes.resize(rng() % bytes.size());
      break;
    default:  // a byte inserted or removed
      if (rng() % 2 == 0) {
        bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(rng() % bytes.size()), static_cast<std::uint8_t>(rng()));
      } else {
        bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(rng() % bytes.size()));
      }
  }
}

TEST(PredictorMutation, SeedsLoad) {
  for (const Bytes& seed : seed_artifacts()) EXPECT_NO_THROW(predictor::Predictor::from_artifact_bytes(seed));
}

TEST(PredictorMutation, CorruptBytesNeverCrash) {
  std::mt19937_64 rng(2024);
  Outcomes outcomes;
  for (const Bytes& seed : seed_artifacts()) {
    for (int i = 0; i < 1500; ++i) {
      Bytes bytes = seed;
      for (int k = 0, n = 1 + static_cast<int>(rng() % 3); k < n; ++k) mutate(bytes, rng);
      ASSERT_TRUE(survives(bytes, outcomes)) << "mutant " << i;
    }
  }
  // Both outcomes occur often: the mutants are neither all rejected up front nor all harmless.
  EXPECT_GT(outcomes.loaded, 500);
  EXPECT_GT(outcomes.refused, 500);
}

// Payload mutations inside a valid container reach the tree and section decoders themselves.
TEST(PredictorMutation, CorruptPayloadsNeverCrash) {
  std::mt19937_64 rng(99);
  Outcomes outcomes;
  for (const Bytes& seed : seed_artifacts()) {
    const core::ParsedModelArtifactV1 parsed = core::deserialize_model_artifact_v1(seed);
    for (int i = 0; i < 1500; ++i) {
      std::vector<core::SectionPayload> sections;
      for (const auto& section : parsed.sections) sections.emplace_back(section.kind, section.payload);
      const std::size_t target = rng() % sections.size();
      switch (rng() % 8) {
        case 0:
          sections[target].first = core::section_kind_from_code(1 + static_cast<std::uint32_t>(rng() % 15));
          break;
        case 1:
          sections.push_back(sections[target]);
          break;
        default:
          for (int k = 0, n = 1 + static_cast<int>(rng() % 2); k < n; ++k) mutate(sections[target].second, rng);
      }
      if (sections[target].second.empty()) sections[target].second.push_back(0);
      ASSERT_TRUE(survives(core::serialize_model_artifact_v1(parsed.contract.metadata, sections), outcomes))
          << "mutant " << i;
    }
  }
  EXPECT_GT(outcomes.loaded, 500);
  EXPECT_GT(outcomes.refused, 500);
}

}  // namespace
}  // namespace kestrune
