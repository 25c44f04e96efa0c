// The libFuzzer entry of one harness, chosen when the binary is built.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "harnesses.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    veltrinax::fuzz::VELTRINAX_FUZZ_HARNESS(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
