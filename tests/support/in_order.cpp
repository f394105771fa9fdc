#include "support/in_order.h"

namespace kl::test {

::testing::AssertionResult InOrder(const std::string& text, const std::vector<std::string>& parts) {
  size_t at = 0;
  for (const std::string& part : parts) {
    const size_t found = text.find(part, at);
    if (found == std::string::npos) {
      return ::testing::AssertionFailure() << "\"" << part << "\" is missing after position " << at << " in:\n"
                                           << text;
    }
    at = found + part.size();
  }
  return ::testing::AssertionSuccess();
}

}  // namespace kl::test
