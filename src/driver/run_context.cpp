#include "driver/run_context.h"

#include "driver/runtime_errors.h"

namespace kl {

RunContext::RunContext(Platform& p)
    : platform(p),
      out(p, options),
      strings(CreateStringHeap(
          [this](std::string_view message, int line) { ReportRuntimeError(*this, message, "DynamicStrings", line); },
          [this](std::string_view line) {
            platform.console.write(line);
            platform.console.flush();
          })),
      sessionLogPath(*strings) {}

}  // namespace kl
