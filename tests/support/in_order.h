// Checks that texts occur in a console output or log in a given order.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kl::test {

// True when the texts occur in `text` in this order.
::testing::AssertionResult InOrder(const std::string& text, const std::vector<std::string>& parts);

}  // namespace kl::test
