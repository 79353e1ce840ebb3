// The four levels of the index tree. Their values are stored in the binary
// format, one byte per container, and a node's kind in the node table is its
// container's level (node_table.h ties the two together).
#pragma once

#include <cstdint>

namespace orlo_kiv {

enum class ContainerLevel : std::uint8_t { Global = 0, Session = 1, Document = 2, Chunk = 3 };

}  // namespace orlo_kiv
