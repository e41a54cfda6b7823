// The binding tests run inside one embedded interpreter that lives for the whole test run.
#include <gtest/gtest.h>

#include "python.hpp"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  Py_Initialize();
  const int result = RUN_ALL_TESTS();
  // The interpreter is not finalised: objects cached for the process (type objects, numpy)
  // stay referenced until exit, as they do in the module.
  return result;
}
