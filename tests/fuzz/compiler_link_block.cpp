// Block B of the compiler link as the player walks it: the first four bytes
// are the file count block A gives, the rest is the block. No record may
// reach outside it, whatever the counts and lengths say.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "format/byte_io.h"
#include "resources/compiler_link.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const uint32_t count = get_u32(data);
  // An exact-size copy, so any overread lands outside the allocation.
  std::vector<uint8_t> block(data + 4, data + size);
  if (install_compiler_link_table(std::move(block), count) == 0) {
    const std::vector<uint8_t>& kept = compiler_link_table.block;
    if (compiler_link_table.entries.size() != count) std::abort();
    for (const compiler_link_record& e : compiler_link_table.entries) {
      const uint8_t* name = reinterpret_cast<const uint8_t*>(e.name.data());
      if (name < kept.data() || name + e.name.size() > kept.data() + kept.size()) std::abort();
      if (e.data < kept.data() || e.data + e.size > kept.data() + kept.size()) std::abort();
    }
    resource_locator l;
    if (count > 0 && find_in_mapped_list(l, compiler_link_table.entries[0].name) == resource_in_link_table)
      read_entry_from_mapped_list(l, "fuzz");
  }
  reset_compiler_link_table();
  return 0;
}
