#include "mesh/name_hash.h"

namespace gantrel {

std::uint32_t name_hash(std::string_view name) {
    std::uint32_t h = 0xFFFFFFFFu;
    for (const char ch : name) {
        std::uint32_t x = static_cast<unsigned char>(ch);
        if (x >= 'A' && x <= 'Z') {
            x += 'a' - 'A';
        }
        h = (h >> 8) ^ name_hash_table[(x ^ h) & 0xFFu];
    }
    return h ^ 0xFFFFFFFFu;
}

}  // namespace gantrel
