#include "filesystems/fast_index.h"

#include <algorithm>

namespace vandrel {

TFastIndex::TFastIndex() : root_(std::make_unique<Node>()) { root_->childSpan = 1ULL << 30; }

TFastIndex::~TFastIndex() = default;

void TFastIndex::Add(std::uint32_t key, void* value) {
  Node* node = root_.get();
  while (node->interior) {
    const auto index = static_cast<std::size_t>((key - node->base) / node->childSpan);
    auto& child = node->children[index];
    if (!child) {
      child = std::make_unique<Node>();
      child->base = static_cast<std::uint32_t>(node->base + index * node->childSpan);
      child->childSpan = node->childSpan / 4;
      child->interior = 4 * child->childSpan > 16;
    }
    node = child.get();
  }
  auto& pairs = node->pairs;
  const auto at = std::find_if(pairs.begin(), pairs.end(), [key](const auto& p) { return p.first >= key; });
  pairs.insert(at, {key, value});
}

void* TFastIndex::Get(std::uint32_t key) const {
  const Node* node = root_.get();
  while (node->interior) {
    const auto index = static_cast<std::size_t>((key - node->base) / node->childSpan);
    node = node->children[index].get();
    if (node == nullptr) return nullptr;
  }
  for (const auto& [k, v] : node->pairs) {
    if (k == key) return v;
    if (k > key) return nullptr;
  }
  return nullptr;
}

}  // namespace vandrel
