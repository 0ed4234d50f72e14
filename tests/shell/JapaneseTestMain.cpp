// Registers the Qt environment under LANG=ja_JP.UTF-8 before gtest_main runs
// the tests: the program must find Japanese through the system locale.
#include "ShellTestSupport.h"

namespace {
const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new mervix::testing::QtEnvironment("ja_JP.UTF-8"));
}  // namespace
