// The one-shot prediction functions: each call loads a predictor from the artifact bytes, scores
// one batch in bin space and drops the predictor. The plain pair uses the predictor's own loader;
// the canonical pair first requires a strict dual-section single-output artifact. Arguments are
// all converted before the artifact is looked at.
#include <cstdint>
#include <span>
#include <vector>

#include "conversions.hpp"
#include "predict_loading.hpp"
#include "registry.hpp"

namespace kestrune::python {
namespace {

predictor::Predictor load(std::span<const std::uint8_t> artifact_bytes, bool canonical) {
  return canonical ? load_predictor_from_artifact_impl(artifact_bytes, true)
                   : predictor::Predictor::from_artifact_bytes(artifact_bytes);
}

template <bool Canonical>
PyObject* predict_rows(PyObject*, Arguments& args) {
  const std::span<const std::uint8_t> artifact_bytes = args.required("artifact_bytes", to_bytes);
  const auto rows = args.required("rows", to_f32_rows);
  const predictor::Predictor loaded = load(artifact_bytes, Canonical);
  const std::vector<float> scores = loaded.predict_batch(rows);
  return to_python(std::span<const float>(scores));
}

template <bool Canonical>
PyObject* predict_dense(PyObject*, Arguments& args) {
  const std::span<const std::uint8_t> artifact_bytes = args.required("artifact_bytes", to_bytes);
  const auto values = args.required("values", to_f32_list);
  const std::size_t row_count = args.required("row_count", to_size);
  const std::size_t feature_count = args.required("feature_count", to_size);
  const predictor::Predictor loaded = load(artifact_bytes, Canonical);
  const std::vector<float> scores = loaded.predict_batch_dense(values, row_count, feature_count);
  return to_python(std::span<const float>(scores));
}

constexpr FunctionSpec batch_spec = {"predictor_predict_batch", "predictor_predict_batch(artifact_bytes, rows)\n--\n\n",
                                     predict_rows<false>};
constexpr FunctionSpec batch_dense_spec = {
    "predictor_predict_batch_dense",
    "predictor_predict_batch_dense(artifact_bytes, values, row_count, feature_count)\n--\n\n", predict_dense<false>};
constexpr FunctionSpec canonical_spec = {"predictor_predict_batch_canonical",
                                         "predictor_predict_batch_canonical(artifact_bytes, rows)\n--\n\n",
                                         predict_rows<true>};
constexpr FunctionSpec canonical_dense_spec = {
    "predictor_predict_batch_canonical_dense",
    "predictor_predict_batch_canonical_dense(artifact_bytes, values, row_count, feature_count)\n--\n\n",
    predict_dense<true>};

PyMethodDef batch_definition = module_function_definition<batch_spec>();
PyMethodDef batch_dense_definition = module_function_definition<batch_dense_spec>();
PyMethodDef canonical_definition = module_function_definition<canonical_spec>();
PyMethodDef canonical_dense_definition = module_function_definition<canonical_dense_spec>();

const FunctionRegistration batch_registration(FunctionSlot::predictor_predict_batch, &batch_definition);
const FunctionRegistration batch_dense_registration(FunctionSlot::predictor_predict_batch_dense,
                                                    &batch_dense_definition);
const FunctionRegistration canonical_registration(FunctionSlot::predictor_predict_batch_canonical,
                                                  &canonical_definition);
const FunctionRegistration canonical_dense_registration(FunctionSlot::predictor_predict_batch_canonical_dense,
                                                        &canonical_dense_definition);

}  // namespace
}  // namespace kestrune::python
