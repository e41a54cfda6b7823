// Corrupted artifacts of every kind must end in an error or a valid parse: never a crash, a
// hang, a broken invariant or an allocation sized by a forged count. The mutations are
// deterministic (fixed seed), so a failure names a reproducible case.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <new>
#include <random>
#include <string>

#include "artifact_test_support.hpp"
#include "core/artifact/categorical_state.hpp"
#include "core/artifact/linear_leaf_payload.hpp"
#include "core/artifact/metadata_payloads.hpp"
#include "core/artifact/morph_metadata.hpp"
#include "core/artifact/multi_output_payload.hpp"
#include "core/artifact/native_categorical_payload.hpp"
#include "engine/artifact_sections.hpp"
#include "engine/multiclass_model.hpp"
#include "engine/trained_model.hpp"
#include "engine/tree_payload.hpp"
#include "support/panic.hpp"

#if defined(__SANITIZE_ADDRESS__)
#define KESTRUNE_FUZZ_UNDER_ASAN 1
#else
#define KESTRUNE_FUZZ_UNDER_ASAN 0
#endif

namespace kestrune {
namespace {

using Bytes = std::vector<std::uint8_t>;
using K = core::ModelSectionKind;
using engine::MultiClassTrainedModel;
using engine::TrainedModel;
using engine::TrainedStump;
using artifact_testing::for_each_mutation;

MultiClassTrainedModel multiclass_seed() {
  MultiClassTrainedModel model;
  model.num_classes = 3;
  model.feature_count = 4;
  model.objective = "multiclass_softmax";
  model.class_baselines = {0.1f, 0.2f, 0.3f};
  for (std::uint32_t k = 0; k < 3; ++k) {
    std::vector<TrainedStump> stumps;
    for (std::uint32_t j = 0; j < k + 1; ++j) stumps.push_back(artifact_testing::numeric_stump(j << 20, k, 1, 1.0f, -1.0f));
    model.class_stumps.push_back(std::move(stumps));
  }
  model.class_stumps[1][1].categorical = true;
  model.class_stumps[1][1].category_bitset = Bytes{0x01};
  model.class_stumps[2][0].right = core::LinearLeaf{{0.5f, 0.5f}, {0, 3}, 1.0f};
  model.categorical_state = core::CategoricalStatePayloadV1{{2}, 1, false};
  model.morph_metadata = core::MorphMetadata{{{0.0f, 1.0f, 0.05f}}, {}, 1, 1};
  model.dro_metadata = core::DroMetadata{0.0f, core::DroMetric::Wasserstein};
  return model;
}

// Runs one parser on one input. Only the documented error types may escape.
class Harness {
 public:
  void run(const char* what, std::size_t case_index, const std::function<void()>& parse) {
    ++cases_;
    try {
      parse();
      ++accepted_;
    } catch (const core::CoreError&) {
    } catch (const engine::EngineError&) {
    } catch (const support::Panic& panic) {
      fail(what, case_index, std::string("panic: ") + panic.what());
    } catch (const std::bad_alloc&) {
      fail(what, case_index, "allocation refused: a forged count was trusted");
    } catch (const std::exception& error) {
      fail(what, case_index, std::string("unexpected exception: ") + error.what());
    }
  }
  std::size_t cases() const { return cases_; }
  std::size_t accepted() const { return accepted_; }

 private:
  void fail(const char* what, std::size_t case_index, const std::string& why) {
    ADD_FAILURE() << what << " case " << case_index << ": " << why;
  }
  std::size_t cases_ = 0;
  std::size_t accepted_ = 0;
};

// A model that loaded must write back, or refuse with an error, and a written model must reload
// to the same bytes.
void check_single_output(std::span<const std::uint8_t> bytes, std::uint32_t mode) {
  const TrainedModel model = TrainedModel::from_artifact_bytes_with_mode(bytes, mode);
  if (mode != 0) return;  // the write-back is checked once, after the strict load
  const Bytes written = model.to_artifact_bytes();
  EXPECT_EQ(TrainedModel::from_artifact_bytes(written).to_artifact_bytes(), written);
}

void check_multiclass(std::span<const std::uint8_t> bytes) {
  const MultiClassTrainedModel model = MultiClassTrainedModel::from_artifact_bytes(bytes);
  // The multiclass reader takes the payload's feature count as it stands; writing a forged count
  // of billions would name billions of features, which is the writer doing as told.
  if (model.feature_count > 4096) return;
  const Bytes written = model.to_artifact_bytes();
  EXPECT_EQ(MultiClassTrainedModel::from_artifact_bytes(written).to_artifact_bytes(), written);
}

void parse_artifact_every_way(Harness& harness, std::size_t case_index, const Bytes& bytes) {
  const std::size_t accepted = harness.accepted();
  harness.run("container", case_index, [&] { core::deserialize_model_artifact_v1(bytes); });
  // Every model loader starts with the container parse: a rejected container is rejected by all.
  if (harness.accepted() == accepted) return;
  harness.run("strict model", case_index, [&] { check_single_output(bytes, 0); });
  harness.run("legacy model", case_index, [&] { check_single_output(bytes, 1); });
  harness.run("multiclass model", case_index, [&] { check_multiclass(bytes); });
}

void decode_payload(K kind, const Bytes& payload) {
  const std::vector<core::ModelArtifactSection> alone = {{payload, kind, 0, 0}};
  switch (kind) {
    case K::Trees: engine::decode_trained_model_payload(payload); break;
    case K::PredictorLayout: engine::resolve_predictor_layout(alone, 0, core::RequiredSectionMode::Strict); break;
    case K::CategoricalState: core::decode_optional_categorical_state_section_v1(alone, 5); break;
    case K::NodeDebugStats: engine::decode_optional_node_debug_stats_section(alone); break;
    case K::MultiClassTrees:
      if (!payload.empty()) {
        const core::ModelMetadata metadata = engine::model_metadata_for(4, "multiclass_softmax", 3u);
        MultiClassTrainedModel::from_artifact_bytes(
            core::serialize_model_artifact_v1(metadata, std::vector<core::SectionPayload>{{kind, payload}}));
      }
      break;
    case K::NativeCategoricalSplits: core::decode_native_categorical_splits_payload(payload); break;
    case K::MorphMetadata: core::decode_optional_morph_metadata_section(payload); break;
    case K::LinearLeafCoefficients: core::decode_linear_leaf_coefficients_payload(payload); break;
    case K::DroMetadata: core::decode_dro_metadata_payload(payload); break;
    case K::FeatureBaseline: core::decode_feature_baseline_payload(payload); break;
    case K::DartTreeWeights: core::decode_dart_tree_weights_payload(payload); break;
    case K::MultiOutputLeafValues: core::decode_multi_output_leaf_values_payload(payload); break;
    case K::NeutralizationMetadata: core::decode_neutralization_metadata_payload(payload); break;
    default: break;
  }
}

Bytes random_bytes(std::mt19937_64& rng, std::size_t length) {
  Bytes bytes(length);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
  return bytes;
}

std::size_t virtual_memory_bytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0;
  statm >> pages;
  return pages * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

// Outside the sanitizer build, caps the address space so that an allocation sized by a forged
// count fails loudly (std::bad_alloc) instead of being reserved lazily by the kernel.
class AddressSpaceCap {
 public:
  AddressSpaceCap() {
    if (KESTRUNE_FUZZ_UNDER_ASAN || getrlimit(RLIMIT_AS, &saved_) != 0) return;
    rlimit capped = saved_;
    const rlim_t wanted = virtual_memory_bytes() + (rlim_t{1} << 30);
    if (saved_.rlim_cur != RLIM_INFINITY && saved_.rlim_cur < wanted) return;
    capped.rlim_cur = wanted;
    active_ = setrlimit(RLIMIT_AS, &capped) == 0;
  }
  ~AddressSpaceCap() {
    if (active_) setrlimit(RLIMIT_AS, &saved_);
  }

 private:
  rlimit saved_{};
  bool active_ = false;
};

TEST(ArtifactFuzz, MutatedArtifactsFailCleanly) {
  const std::vector<Bytes> seeds = {artifact_testing::full_trained_model().to_artifact_bytes(), multiclass_seed().to_artifact_bytes(),
                                    core::serialize_model_artifact_v1(
                                        engine::model_metadata_for(5, "squared_error", std::nullopt),
                                        std::vector<core::SectionPayload>{
                                            {K::Trees, engine::encode_trained_model_payload(artifact_testing::full_trained_model())}})};
  // The seeds themselves load.
  check_single_output(seeds[0], 0);
  check_multiclass(seeds[1]);
  check_single_output(seeds[2], 1);

  std::mt19937_64 rng(0x6B657374u);
  Harness harness;
  AddressSpaceCap cap;
  std::size_t case_index = 0;
  for (const Bytes& seed : seeds) {
    for_each_mutation(seed, rng, [&](const Bytes& bytes) { parse_artifact_every_way(harness, case_index++, bytes); });
  }
  for (int round = 0; round < 300; ++round) {
    Bytes bytes = random_bytes(rng, rng() % 300);
    if (round % 2 == 0 && bytes.size() >= 8) {  // a valid header start reaches deeper checks
      const Bytes head = {'K', 'S', 'T', 'R', 1, 0, 0, 0};
      std::copy(head.begin(), head.end(), bytes.begin());
    }
    parse_artifact_every_way(harness, case_index++, bytes);
  }
  EXPECT_GT(harness.cases(), 10000u);
  EXPECT_GT(harness.accepted(), 0u);  // some mutations (e.g. in floats) still parse
}

TEST(ArtifactFuzz, MutatedSectionPayloadsFailCleanly) {
  std::vector<std::pair<K, Bytes>> payloads;
  for (const Bytes& artifact : {artifact_testing::full_trained_model().to_artifact_bytes(), multiclass_seed().to_artifact_bytes()}) {
    for (const auto& section : core::deserialize_model_artifact_v1(artifact).sections) {
      payloads.emplace_back(section.kind, section.payload);
    }
  }
  ASSERT_EQ(payloads.size(), 12u + 7u);

  std::mt19937_64 rng(0x61727469u);
  Harness harness;
  AddressSpaceCap cap;
  std::size_t case_index = 0;
  for (const auto& [kind, seed] : payloads) {
    const std::string what = core::section_kind_name(kind);
    for_each_mutation(seed, rng, [&](const Bytes& payload) {
      harness.run(what.c_str(), case_index++, [&] { decode_payload(kind, payload); });
    });
    for (int round = 0; round < 50; ++round) {
      const Bytes payload = random_bytes(rng, rng() % 64);
      harness.run(what.c_str(), case_index++, [&] { decode_payload(kind, payload); });
    }
  }
  EXPECT_GT(harness.cases(), 5000u);
}

}  // namespace
}  // namespace kestrune
