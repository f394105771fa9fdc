// The lines of a production station's parameter file that carry a unit's manufacturing fields.
#pragma once

#include <cstdint>
#include <string>

namespace kl::test {

// "EncryptedSerialNo=..." and the three other field keys, CR LF ended, holding valid fields
// for `serial` as the simulated units encipher them.
std::string StationFieldLines(int32_t serial);

}  // namespace kl::test
