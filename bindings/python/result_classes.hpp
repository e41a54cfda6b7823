// The read-only result classes. Only native code creates their instances: each function moves a
// filled record into a new object of its class and returns the new reference (throwing
// PythonErrorSet when the allocation fails).
#pragma once

#include "python.hpp"
#include "result_records.hpp"

namespace kestrune::python {

PyObject* new_training_result(TrainingResultRecord record);
PyObject* new_training_summary(TrainingSummaryRecord record);
PyObject* new_continuous_binning_metadata(quantization::ContinuousBinningMetadataInternal record);
PyObject* new_iteration_diagnostics(IterationDiagnosticsRecord record);

}  // namespace kestrune::python
