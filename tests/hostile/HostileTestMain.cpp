// Registers the Qt environment, in English, before gtest_main runs the tests.
#include "tests/shell/ShellTestSupport.h"

namespace {
const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new mervix::testing::QtEnvironment("C.UTF-8"));
}  // namespace
